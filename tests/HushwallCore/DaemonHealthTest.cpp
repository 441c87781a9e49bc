#include "HushwallCore/DaemonHealth.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "support/FilterRecords.hpp"

namespace hushwall {
namespace {

const FilterStatus status{FilterReport{1, FilterReport::Outcome::applyFailed, std::nullopt, 0, "1.4", "denied"}, 12.5};

const DaemonHealth full{"0.1.0", 0, true, 93.25, false, "schedule record could not be saved", status, "v0.1.0-3-gabc"};
const DaemonHealth bare{"unknown", 4294967295u, false, 0, true, std::nullopt, std::nullopt, std::nullopt};

TEST(DaemonHealthTest, RoundTripsAndOmitsAbsentFields) {
  for (const auto& health : {full, bare}) {
    SCOPED_TRACE(health.encoded());
    EXPECT_EQ(DaemonHealth::decode(health.encoded()), health);
  }
  EXPECT_EQ(nlohmann::json::parse(bare.encoded()),
            nlohmann::json::parse(
                R"({"version":"unknown","uid":4294967295,"hasActiveSession":false,"uptime":0,"canManageBlock":true})"));
  auto json = nlohmann::json::parse(full.encoded());
  EXPECT_EQ(json["filter"]["report"]["detail"], "denied");
  EXPECT_EQ(json["build"], "v0.1.0-3-gabc");
  EXPECT_EQ(json["scheduleFailure"], "schedule record could not be saved");
}

TEST(DaemonHealthTest, OptionalKeysReadNullAsAbsent) {
  auto json = nlohmann::json::parse(bare.encoded());
  for (const char* key : {"build", "scheduleFailure", "filter"}) json[key] = nullptr;
  EXPECT_EQ(DaemonHealth::decode(json.dump()), bare);
}

TEST(DaemonHealthTest, FailsWithoutAnyRequiredKeyOrWithAWrongValue) {
  const auto valid = nlohmann::json::parse(full.encoded());
  for (const char* key : {"version", "uid", "hasActiveSession", "uptime", "canManageBlock"}) {
    SCOPED_TRACE(key);
    auto missing = valid;
    missing.erase(key);
    EXPECT_FALSE(DaemonHealth::decode(missing.dump()).has_value());
    auto null = valid;
    null[key] = nullptr;
    EXPECT_FALSE(DaemonHealth::decode(null.dump()).has_value());
  }
  struct Case {
    const char* what;
    const char* key;
    nlohmann::json value;
  };
  const Case wrong[] = {
      {"negative uid", "uid", -1},
      {"uid past 32 bits", "uid", 4294967296},
      {"uptime as text", "uptime", "93"},
      {"flag as number", "canManageBlock", 1},
      {"build as number", "build", 7},
      {"filter with an unknown outcome",
       "filter",
       nlohmann::json::parse(
           R"({"report":{"schemaVersion":1,"outcome":"blocked","ruleCount":0,"filterVersion":""},"secondsSinceReport":1})")},
      {"filter without its age", "filter", nlohmann::json::parse(R"({"report":{}})")},
  };
  for (const auto& c : wrong) {
    SCOPED_TRACE(c.what);
    auto changed = valid;
    changed[c.key] = c.value;
    EXPECT_FALSE(DaemonHealth::decode(changed.dump()).has_value());
  }
}

}  // namespace
}  // namespace hushwall
