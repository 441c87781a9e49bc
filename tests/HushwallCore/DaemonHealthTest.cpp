#include "HushwallCore/DaemonHealth.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "HushwallCore/Strings.hpp"
#include "support/FilterRecords.hpp"

namespace hushwall {
namespace {

const FilterStatus status{FilterReport{1, FilterReport::Outcome::applyFailed, std::nullopt, 0, "1.4", "denied"}, 12.5};
const DaemonHealth full{"0.1.0", 0, true, 93.25, false, "schedule record could not be saved", status, "v0.1.0-3-gabc"};
const DaemonHealth bare{"unknown", 4294967295u, false, 0, true, std::nullopt, std::nullopt, std::nullopt};

TEST(DaemonHealthTest, RoundTripsOmittingAbsentFieldsAndReadingNullAsAbsent) {
  for (const auto& health : {full, bare}) {
    SCOPED_TRACE(health.encoded());
    EXPECT_EQ(DaemonHealth::decode(health.encoded()), health);
  }
  auto json = nlohmann::json::parse(bare.encoded());
  EXPECT_EQ(json, nlohmann::json::parse(
                      R"({"version":"unknown","uid":4294967295,"hasActiveSession":false,"uptime":0,"canManageBlock":true})"));
  for (const char* key : {"build", "scheduleFailure", "filter"}) json[key] = nullptr;
  EXPECT_EQ(DaemonHealth::decode(json.dump()), bare);
  EXPECT_EQ(nlohmann::json::parse(full.encoded())["filter"]["report"]["detail"], "denied");
}

TEST(DaemonHealthTest, FailsOnAMissingRequiredKeyOrAWrongValue) {
  const auto valid = nlohmann::json::parse(full.encoded());
  const std::pair<const char*, nlohmann::json> wrong[] = {
      {"version", nullptr},
      {"uid", -1},
      {"uid", 4294967296},
      {"hasActiveSession", nullptr},
      {"uptime", "93"},
      {"canManageBlock", 1},
      {"build", 7},
      {"filter", nlohmann::json::parse(
                     R"({"report":{"schemaVersion":1,"outcome":"blocked","ruleCount":0,"filterVersion":""},"secondsSinceReport":1})")},
  };
  for (const auto& [key, value] : wrong) {
    SCOPED_TRACE(cat(key, " = ", value.dump()));
    auto changed = valid;
    changed[key] = value;
    EXPECT_FALSE(DaemonHealth::decode(changed.dump()));
  }
  for (const char* key : {"version", "uid", "hasActiveSession", "uptime", "canManageBlock"}) {
    SCOPED_TRACE(key);
    auto missing = valid;
    missing.erase(key);
    EXPECT_FALSE(DaemonHealth::decode(missing.dump()));
  }
}

}  // namespace
}  // namespace hushwall
