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
using testing::filterReportOfEncodedSize;

const Uuid sessionID = *Uuid::parse("0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9");

// Every way a report decodes or fails; a status wraps the same text, so each
// row is checked inside a status too, where a bad report fails the status.
TEST(FilterReportTest, Decoding) {
  struct Case {
    const char* json;
    std::optional<FilterReport> expected;  // nothing: the decode fails
  };
  const Case cases[] = {
      {R"({"schemaVersion":1,"outcome":"applied","sessionID":"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9","ruleCount":2,"filterVersion":"1.4","detail":"ok"})",
       FilterReport{1, Outcome::applied, sessionID, 2, "1.4", "ok"}},
      {R"({"schemaVersion":1,"outcome":"applyFailed","ruleCount":0,"filterVersion":""})",
       FilterReport{1, Outcome::applyFailed, std::nullopt, 0, "", std::nullopt}},
      {R"({"schemaVersion":9,"outcome":"keptPrevious","sessionID":null,"ruleCount":-3,"filterVersion":"x","detail":null,"extra":[1]})",
       FilterReport{9, Outcome::keptPrevious, std::nullopt, -3, "x", std::nullopt}},
      {R"({"schemaVersion":1,"outcome":"Applied","ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"kept","ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"","ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":["applied"],"ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"ruleCount":0,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","ruleCount":2.5,"filterVersion":""})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","ruleCount":0})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","ruleCount":0,"filterVersion":null})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","ruleCount":0,"filterVersion":"","detail":7})", std::nullopt},
      {R"({"schemaVersion":1,"outcome":"applied","ruleCount":0,"filterVersion":"","sessionID":"0A1B"})", std::nullopt},
      {R"({"outcome":"applied","ruleCount":0,"filterVersion":""})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto report = FilterReport::decode(c.json);
    auto status = FilterStatus::decode(std::string(R"({"secondsSinceReport":1.5,"report":)") + c.json + "}");
    if (c.expected) {
      EXPECT_EQ(report, *c.expected);
      EXPECT_EQ(status, (FilterStatus{*c.expected, 1.5}));
    } else {
      EXPECT_FALSE(report.has_value());
      EXPECT_FALSE(status.has_value());
    }
  }
}

TEST(FilterReportTest, AbsentOptionalsAreOmittedAndRoundTrip) {
  const FilterReport bare{1, Outcome::keptPrevious, std::nullopt, 5, "2.0", std::nullopt};
  EXPECT_EQ(nlohmann::json::parse(bare.encoded()),
            nlohmann::json::parse(R"({"schemaVersion":1,"outcome":"keptPrevious","ruleCount":5,"filterVersion":"2.0"})"));
  const FilterReport full{1, Outcome::applyFailed, sessionID, 5, "2.0", "no \"permission\"\n"};
  for (const auto& report : {bare, full}) {
    SCOPED_TRACE(report.encoded());
    EXPECT_EQ(FilterReport::decode(report.encoded()), report);
  }
}

// The size limit itself is the receiving service's; the record must make both
// sides of it easy to build, and must not refuse either by itself.
TEST(FilterReportTest, ReportsOfExactEncodedSizesAroundTheLimit) {
  for (std::size_t size : {FilterReport::maxEncodedSize, FilterReport::maxEncodedSize + 1, std::size_t{200}}) {
    SCOPED_TRACE(size);
    FilterReport report = filterReportOfEncodedSize(size);
    std::string bytes = report.encoded();
    EXPECT_EQ(bytes.size(), size);
    EXPECT_EQ(FilterReport::decode(bytes), report);
  }
  EXPECT_EQ(FilterReport::maxEncodedSize, 4096u);
  EXPECT_THROW((void)filterReportOfEncodedSize(10), std::invalid_argument);
}

TEST(FilterStatusTest, NestsTheReportAndRequiresBothKeys) {
  const FilterStatus status{FilterReport{1, Outcome::applied, sessionID, 3, "1.4", std::nullopt}, -2.25};
  auto json = nlohmann::json::parse(status.encoded());
  EXPECT_EQ(json["report"]["outcome"], "applied");
  EXPECT_EQ(json["secondsSinceReport"], -2.25);
  EXPECT_EQ(FilterStatus::decode(status.encoded()), status);

  for (const char* key : {"report", "secondsSinceReport"}) {
    SCOPED_TRACE(key);
    auto missing = json;
    missing.erase(key);
    EXPECT_FALSE(FilterStatus::decode(missing.dump()).has_value());
    auto null = json;
    null[key] = nullptr;
    EXPECT_FALSE(FilterStatus::decode(null.dump()).has_value());
  }
}

}  // namespace
}  // namespace hushwall
