#include "HushwallCore/SessionState.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace hushwall {
namespace {

using nlohmann::json;

SessionState sampleSession() {
  SessionState state;
  state.id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  state.domains = {"example.com", "news.example"};
  state.totalDuration = 1800;
  state.consumed = 100.25;
  state.lastTick = Tick{Date{1000.5}, Date{-200}, 5000.125, "A"};
  state.startedAt = Date{900.75};
  return state;
}

json sampleJson() { return json::parse(sampleSession().encoded()); }

TEST(SessionStateJson, WritesEveryKeyButAbsentScheduleFields) {
  json written = sampleJson();
  EXPECT_EQ(written, json::parse(R"({"schemaVersion":3,"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
      "domains":["example.com","news.example"],"totalDuration":1800.0,"consumed":100.25,
      "lastTick":{"wallClock":1000.5,"bootTime":-200.0,"continuous":5000.125,"bootID":"A"},
      "startedAt":900.75})"));
  EXPECT_EQ(SessionState::decode(sampleSession().encoded()), sampleSession());

  SessionState scheduled = sampleSession();
  scheduled.scheduleID = Uuid::random();
  scheduled.scheduleName = "Mornings \xF0\x9F\x8C\x85";
  json withSchedule = json::parse(scheduled.encoded());
  EXPECT_EQ(withSchedule["scheduleID"], scheduled.scheduleID->string());
  EXPECT_EQ(withSchedule["scheduleName"], *scheduled.scheduleName);
  EXPECT_EQ(SessionState::decode(scheduled.encoded()), scheduled);
}

TEST(SessionStateJson, OptionalKeysReadNullOrMissingAsAbsent) {
  json value = sampleJson();
  value["scheduleID"] = nullptr;
  value["scheduleName"] = nullptr;
  value["lastTick"].erase("bootID");
  value["somethingNew"] = {{"nested", true}};
  auto decoded = SessionState::decode(value.dump());
  ASSERT_TRUE(decoded) << decoded.error().reason;
  EXPECT_FALSE(decoded->scheduleID);
  EXPECT_FALSE(decoded->scheduleName);
  EXPECT_EQ(decoded->lastTick.bootID, "");
  EXPECT_EQ(json::parse(decoded->encoded())["lastTick"]["bootID"], "");

  value["lastTick"]["bootID"] = nullptr;
  value["schemaVersion"] = 7;  // the store, not the record, judges the version
  decoded = SessionState::decode(value.dump());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->lastTick.bootID, "");
  EXPECT_EQ(decoded->schemaVersion, 7);
}

TEST(SessionStateJson, WrongShapesFailTheWholeDecode) {
  struct Case {
    const char* what;
    std::function<void(json&)> edit;
  };
  const Case cases[] = {
      {"missing lastTick", [](json& v) { v.erase("lastTick"); }},
      {"missing id", [](json& v) { v.erase("id"); }},
      {"missing wallClock in tick", [](json& v) { v["lastTick"].erase("wallClock"); }},
      {"null required key", [](json& v) { v["consumed"] = nullptr; }},
      {"id not a UUID", [](json& v) { v["id"] = "not-a-uuid"; }},
      {"domains a string", [](json& v) { v["domains"] = "example.com"; }},
      {"domain a number", [](json& v) { v["domains"] = json::array({1}); }},
      {"duration a string", [](json& v) { v["totalDuration"] = "1800"; }},
      {"schema version fractional", [](json& v) { v["schemaVersion"] = 3.5; }},
      {"schema version too large", [](json& v) { v["schemaVersion"] = 18446744073709551615ULL; }},
      {"schedule id not a UUID", [](json& v) { v["scheduleID"] = "x"; }},
      {"schedule name a number", [](json& v) { v["scheduleName"] = 3; }},
      {"tick an array", [](json& v) { v["lastTick"] = json::array(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    json value = sampleJson();
    c.edit(value);
    EXPECT_FALSE(SessionState::decode(value.dump()));
  }
  for (const char* bytes : {"", "[]", "null", "3", "{", "{\"id\":\"\xFF\"}", "{} {}"}) {
    SCOPED_TRACE(bytes);
    EXPECT_FALSE(SessionState::decode(bytes));
  }
}

TEST(SessionState, RemainingAndExpiry) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double total, consumed, remaining;
    bool expired;
  };
  for (const auto& c : {Case{1800, 100, 1700, false}, Case{1800, 1800, 0, true}, Case{1800, 1900, 0, true},
                        Case{nan, 100, 0, false}, Case{1800, nan, 0, false}}) {
    SCOPED_TRACE(testing::Message() << c.total << " " << c.consumed);
    SessionState state = sampleSession();
    state.totalDuration = c.total;
    state.consumed = c.consumed;
    EXPECT_EQ(state.remaining(), c.remaining);
    EXPECT_EQ(state.isExpired(), c.expired);
  }
}

}  // namespace
}  // namespace hushwall
