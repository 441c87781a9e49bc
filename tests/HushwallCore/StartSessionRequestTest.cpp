#include "HushwallCore/StartSessionRequest.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace hushwall {
namespace {

TEST(StartSessionRequest, RoundTripsAndReadsIntegersIgnoringUnknownKeys) {
  StartSessionRequest request{{"example.com", "Ex\xC3\xA4mple.org"}, 1500.5};
  auto written = nlohmann::json::parse(request.encoded());
  EXPECT_EQ(written, nlohmann::json::parse(R"({"domains":["example.com","Ex\u00e4mple.org"],"duration":1500.5})"));
  EXPECT_EQ(StartSessionRequest::decode(request.encoded()), request);
  auto decoded = StartSessionRequest::decode(R"({"duration":60,"domains":[],"extra":{"a":[1,2]}})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->duration, 60);
  EXPECT_TRUE(decoded->domains.empty());
}

TEST(StartSessionRequest, EveryWrongShapeIsUndecodable) {
  for (const char* bytes : {
           "", "   ", "null", "[]", "\"text\"", "{}", R"({"domains":["a.com"]})", R"({"duration":60})",
           R"({"domains":null,"duration":60})", R"({"domains":["a.com"],"duration":null})",
           R"({"domains":"a.com","duration":60})", R"({"domains":[1],"duration":60})",
           R"({"domains":[["a.com"]],"duration":60})", R"({"domains":["a.com"],"duration":"60"})", R"({"domains":["a.com"],"duration":1e400})",
           R"({"domains":["a.com"],"duration":NaN})",
           "{\"domains\":[\"\xC0\xAF\"],\"duration\":60}", R"({"domains":["a.com"],"duration":60}x)",
           R"({"domains":["a.com"],"duration":60)"}) {
    SCOPED_TRACE(bytes);
    EXPECT_FALSE(StartSessionRequest::decode(bytes));
  }
}

TEST(StartSessionRequest, DeeplyNestedInputFailsWithoutCrashing) {
  std::string nested(100000, '[');
  nested += std::string(100000, ']');
  EXPECT_FALSE(StartSessionRequest::decode(nested));
  EXPECT_FALSE(StartSessionRequest::decode(R"({"domains":)" + nested + R"(,"duration":60})"));
}

}  // namespace
}  // namespace hushwall
