#include "HushwallCore/FilterReport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "HushwallCore/FilterStatus.hpp"
#include "support/FilterRecords.hpp"

namespace hushwall {
namespace {

using Outcome = FilterReport::Outcome;

// Each row is decoded alone and nested in a status, where a bad report fails
// the whole status; good rows must also survive a round trip.
TEST(FilterReportTest, Decoding) {
  const std::pair<const char*, std::optional<FilterReport>> cases[] = {
      {R"({"schemaVersion":1,"outcome":"applied","sessionID":"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9","ruleCount":2,"filterVersion":"1.4","detail":"ok"})",
       FilterReport{1, Outcome::applied, Uuid::parse("0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"), 2, "1.4", "ok"}},
      {R"({"schemaVersion":9,"outcome":"keptPrevious","sessionID":null,"ruleCount":-3,"filterVersion":"x","detail":null,"extra":1})",
       FilterReport{9, Outcome::keptPrevious, std::nullopt, -3, "x", std::nullopt}},
      {R"({"schemaVersion":1,"outcome":"applyFailed","ruleCount":0,"filterVersion":""})",
       FilterReport{1, Outcome::applyFailed, std::nullopt, 0, "", std::nullopt}},
      {R"({"schemaVersion":1,"outcome":"Applied","ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"kept","ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":["applied"],"ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","ruleCount":2.5,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","ruleCount":0,"filterVersion":null})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","ruleCount":0,"filterVersion":"","detail":7})", std::nullopt},
      {R"({"outcome":"applied","ruleCount":0,"filterVersion":""})", std::nullopt},
  };
  for (const auto& [json, expected] : cases) {
    SCOPED_TRACE(json);
    auto report = FilterReport::decode(json);
    auto status = FilterStatus::decode(std::string(R"({"secondsSinceReport":-1.5,"report":)") + json + "}");
    ASSERT_EQ(report.has_value(), expected.has_value());
    ASSERT_EQ(status.has_value(), expected.has_value());
    if (!expected) continue;
    EXPECT_EQ(*report, *expected);
    EXPECT_EQ(*status, (FilterStatus{*expected, -1.5}));
    EXPECT_EQ(FilterStatus::decode(status->encoded()), *status);
  }
  auto bare = nlohmann::json::parse(FilterReport{1, Outcome::applied, std::nullopt, 5, "2", std::nullopt}.encoded());
  EXPECT_FALSE(bare.contains("sessionID"));
  EXPECT_FALSE(bare.contains("detail"));
  EXPECT_FALSE(FilterStatus::decode(R"({"report":{"schemaVersion":1,"outcome":"applied","ruleCount":0,"filterVersion":""}})"));
}

// The limit is enforced by the receiving service; the record must make both
// sides of it easy to build, and refuse neither by itself.
TEST(FilterReportTest, ReportsOfExactEncodedSizesAroundTheLimit) {
  for (std::size_t size : {FilterReport::maxEncodedSize, FilterReport::maxEncodedSize + 1}) {
    SCOPED_TRACE(size);
    FilterReport report = testing::filterReportOfEncodedSize(size);
    EXPECT_EQ(report.encoded().size(), size);
    EXPECT_EQ(FilterReport::decode(report.encoded()), report);
  }
  EXPECT_EQ(FilterReport::maxEncodedSize, 4096u);
}

}  // namespace
}  // namespace hushwall
