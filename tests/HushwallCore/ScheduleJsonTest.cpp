// The JSON forms of Schedule, ScheduleRun and ScheduleSet: what is written,
// what is read back, and that every wrong shape fails the decode cleanly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HushwallCore/Json.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::fixedID;
using testing::weeklySchedule;

ScheduleSet sampleSet() {
  Schedule one = weeklySchedule({2, 4}, 540, 3600, 1);
  one.effectiveFrom = Date{7.25e8 + 0.5};
  Schedule two = weeklySchedule({7}, 1410, 7200, 2);
  two.isEnabled = false;
  two.blocklists = {BlocklistRef(fixedID(11), "Work"), BlocklistRef(fixedID(12), "News")};
  two.domains = {"example.com", "news.org"};
  ScheduleSet set{3, {one, two}, {{one.id, Date{7.3e8}}}, {}};
  set.history[one.id] = {ScheduleRun{Date{7.3e8}, ScheduleRun::Outcome::ran, 3000.5},
                         ScheduleRun{Date{7.31e8}, ScheduleRun::Outcome::paused}};
  set.history[two.id] = {ScheduleRun{Date{7.3e8}, ScheduleRun::Outcome::windowNearlyOver}};
  return set;
}

TEST(ScheduleJson, SetRoundTripsWithEveryField) {
  ScheduleSet set = sampleSet();
  auto decoded = ScheduleSet::decode(set.encoded());
  ASSERT_TRUE(decoded.has_value()) << decoded.error().reason;
  EXPECT_EQ(*decoded, set);
}

TEST(ScheduleJson, WrittenForm) {
  ScheduleSet set = sampleSet();
  Json json = Json::parse(set.encoded());
  EXPECT_EQ(json["schemaVersion"], 3);
  // Maps are flat arrays: id text, value, id text, value.
  ASSERT_TRUE(json["lastFired"].is_array());
  EXPECT_EQ(json["lastFired"], Json::array({fixedID(1).string(), 7.3e8}));
  ASSERT_EQ(json["history"].size(), 4u);
  EXPECT_EQ(json["history"][0], fixedID(1).string());
  EXPECT_EQ(json["history"][1][0], (Json{{"occurrence", 7.3e8}, {"outcome", "ran"}, {"duration", 3000.5}}));
  EXPECT_EQ(json["history"][1][1], (Json{{"occurrence", 7.31e8}, {"outcome", "paused"}}));
  EXPECT_EQ(json["history"][3][0]["outcome"], "windowNearlyOver");

  const Json& one = json["schedules"][0];
  EXPECT_EQ(one["id"], fixedID(1).string());
  EXPECT_EQ(one["weekdays"].size(), 2u);
  EXPECT_EQ(one["effectiveFrom"], 7.25e8 + 0.5);
  EXPECT_EQ(one["blocklistID"], fixedID(1001).string());
  EXPECT_EQ(one["blocklistName"], "Work");
  EXPECT_EQ(one["blocklists"], Json::array({Json{{"id", fixedID(1001).string()}, {"name", "Work"}}}));

  const Json& two = json["schedules"][1];
  EXPECT_FALSE(two.contains("effectiveFrom"));
  EXPECT_EQ(two["isEnabled"], false);
  EXPECT_EQ(two["blocklistID"], fixedID(2).string());  // the schedule's own id
  EXPECT_EQ(two["blocklistName"], "Work + News");
  EXPECT_EQ(two["blocklists"].size(), 2u);

  // An empty set still writes all four keys.
  Json empty = Json::parse(ScheduleSet{}.encoded());
  EXPECT_EQ(empty, (Json{{"schemaVersion", 3}, {"schedules", Json::array()}, {"lastFired", Json::array()},
                         {"history", Json::array()}}));
}

TEST(ScheduleJson, LenientReadingWhereTheFormAllowsIt) {
  Schedule base = weeklySchedule({2}, 600, 3600, 1);
  struct Case {
    const char* what;
    void (*change)(Json&);
    void (*check)(const ScheduleSet&);
  };
  const Case cases[] = {
      {"no history", [](Json& j) { j.erase("history"); }, [](const ScheduleSet& s) { EXPECT_TRUE(s.history.empty()); }},
      {"null history", [](Json& j) { j["history"] = nullptr; },
       [](const ScheduleSet& s) { EXPECT_TRUE(s.history.empty()); }},
      {"only the single-list pair",
       [](Json& j) {
         j["schedules"][0].erase("blocklists");
         j["schedules"][0]["blocklistID"] = fixedID(77).string();
         j["schedules"][0]["blocklistName"] = std::string(80, 'x');
       },
       [](const ScheduleSet& s) {
         std::vector<BlocklistRef> expected{BlocklistRef(fixedID(77), std::string(64, 'x'))};
         EXPECT_EQ(s.schedules[0].blocklists, expected);
       }},
      {"null lists fall back to the pair",
       [](Json& j) {
         j["schedules"][0]["blocklists"] = nullptr;
         j["schedules"][0]["blocklistName"] = "Old";
       },
       [](const ScheduleSet& s) { EXPECT_EQ(s.schedules[0].blocklists[0].name, "Old"); }},
      {"lists present: the pair is ignored even when broken",
       [](Json& j) {
         j["schedules"][0]["blocklistID"] = 5;
         j["schedules"][0].erase("blocklistName");
       },
       [](const ScheduleSet& s) { EXPECT_EQ(s.schedules[0].blocklists[0].name, "Work"); }},
      {"a repeated weekday counts once", [](Json& j) { j["schedules"][0]["weekdays"] = {3, 2, 3, 3}; },
       [](const ScheduleSet& s) { EXPECT_EQ(s.schedules[0].weekdays, (std::set<std::int64_t>{2, 3})); }},
      {"integral numbers written with a fraction", [](Json& j) { j["schedules"][0]["startMinute"] = 600.0; },
       [](const ScheduleSet& s) { EXPECT_EQ(s.schedules[0].startMinute, 600); }},
      {"null effective date", [](Json& j) { j["schedules"][0]["effectiveFrom"] = nullptr; },
       [](const ScheduleSet& s) { EXPECT_FALSE(s.schedules[0].effectiveFrom.has_value()); }},
      {"null run duration",
       [](Json& j) {
         j["history"] = {fixedID(1).string(), {{{"occurrence", 5}, {"outcome", "ran"}, {"duration", nullptr}}}};
       },
       [](const ScheduleSet& s) { EXPECT_FALSE(s.lastRun(fixedID(1))->duration.has_value()); }},
      {"unknown keys", [](Json& j) { j["future"] = {1, 2}; j["schedules"][0]["colour"] = "red"; },
       [](const ScheduleSet& s) { EXPECT_EQ(s.schedules.size(), 1u); }},
      {"a repeated map key keeps its last value",
       [](Json& j) { j["lastFired"] = {fixedID(1).string(), 10, fixedID(1).string(), 20}; },
       [](const ScheduleSet& s) { EXPECT_EQ(s.lastFired.at(fixedID(1)), Date{20}); }},
      {"lower-case id text", [](Json& j) { j["lastFired"] = {"00000000-0000-0000-0000-00000000000a", 10}; },
       [](const ScheduleSet& s) { EXPECT_EQ(s.lastFired.at(fixedID(10)), Date{10}); }},
      {"unvalidated values are kept as they are",
       [](Json& j) {
         j["schemaVersion"] = 99;
         j["schedules"][0]["startMinute"] = 5000;
         j["schedules"][0]["name"] = "";
       },
       [](const ScheduleSet& s) {
         EXPECT_EQ(s.schemaVersion, 99);
         EXPECT_EQ(s.schedules[0].startMinute, 5000);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json json = ScheduleSet{3, {base}, {}, {}}.toJson();
    c.change(json);
    auto decoded = ScheduleSet::decode(json.dump());
    ASSERT_TRUE(decoded.has_value()) << decoded.error().reason;
    c.check(*decoded);
  }
}

TEST(ScheduleJson, EveryWrongShapeFailsTheWholeDecode) {
  struct Case {
    const char* what;
    void (*change)(Json&);
  };
  const Case cases[] = {
      // The set.
      {"set is an array", [](Json& j) { j = Json::array(); }},
      {"no schemaVersion", [](Json& j) { j.erase("schemaVersion"); }},
      {"schemaVersion text", [](Json& j) { j["schemaVersion"] = "3"; }},
      {"schemaVersion fraction", [](Json& j) { j["schemaVersion"] = 2.5; }},
      {"no schedules", [](Json& j) { j.erase("schedules"); }},
      {"schedules an object", [](Json& j) { j["schedules"] = Json::object(); }},
      {"a schedule that is a string", [](Json& j) { j["schedules"][0] = "schedule"; }},
      {"no lastFired", [](Json& j) { j.erase("lastFired"); }},
      {"lastFired odd length", [](Json& j) { j["lastFired"] = {"00000000-0000-0000-0000-000000000001", 10, "x"}; }},
      {"lastFired key not a UUID", [](Json& j) { j["lastFired"] = {"not-a-uuid", 10}; }},
      {"lastFired date as text", [](Json& j) { j["lastFired"] = {"00000000-0000-0000-0000-000000000001", "10"}; }},
      {"history odd length", [](Json& j) { j["history"] = {"00000000-0000-0000-0000-000000000001"}; }},
      {"history runs not an array",
       [](Json& j) { j["history"] = {"00000000-0000-0000-0000-000000000001", Json::object()}; }},
      {"unknown outcome word",
       [](Json& j) {
         j["history"] = {"00000000-0000-0000-0000-000000000001", {{{"occurrence", 5}, {"outcome", "skipped"}}}};
       }},
      {"outcome in another case",
       [](Json& j) {
         j["history"] = {"00000000-0000-0000-0000-000000000001", {{{"occurrence", 5}, {"outcome", "Ran"}}}};
       }},
      {"run without occurrence",
       [](Json& j) { j["history"] = {"00000000-0000-0000-0000-000000000001", {{{"outcome", "ran"}}}}; }},
      {"run duration as text",
       [](Json& j) {
         j["history"] = {"00000000-0000-0000-0000-000000000001",
                         {{{"occurrence", 5}, {"outcome", "ran"}, {"duration", "60"}}}};
       }},
      // A schedule: missing keys.
      {"no id", [](Json& j) { j["schedules"][0].erase("id"); }},
      {"no name", [](Json& j) { j["schedules"][0].erase("name"); }},
      {"no isEnabled", [](Json& j) { j["schedules"][0].erase("isEnabled"); }},
      {"no weekdays", [](Json& j) { j["schedules"][0].erase("weekdays"); }},
      {"no startMinute", [](Json& j) { j["schedules"][0].erase("startMinute"); }},
      {"no duration", [](Json& j) { j["schedules"][0].erase("duration"); }},
      {"no domains", [](Json& j) { j["schedules"][0].erase("domains"); }},
      {"no lists and no pair",
       [](Json& j) {
         for (const char* key : {"blocklists", "blocklistID", "blocklistName"}) j["schedules"][0].erase(key);
       }},
      {"no lists and a bad pair id",
       [](Json& j) {
         j["schedules"][0].erase("blocklists");
         j["schedules"][0]["blocklistID"] = "nope";
       }},
      // A schedule: wrong types.
      {"id not a UUID", [](Json& j) { j["schedules"][0]["id"] = "0000-0000"; }},
      {"isEnabled a number", [](Json& j) { j["schedules"][0]["isEnabled"] = 1; }},
      {"weekdays of text", [](Json& j) { j["schedules"][0]["weekdays"] = {"2"}; }},
      {"weekdays with a fraction", [](Json& j) { j["schedules"][0]["weekdays"] = {2.5}; }},
      {"startMinute a fraction", [](Json& j) { j["schedules"][0]["startMinute"] = 600.5; }},
      {"startMinute text", [](Json& j) { j["schedules"][0]["startMinute"] = "600"; }},
      {"startMinute beyond 64 bits", [](Json& j) { j["schedules"][0]["startMinute"] = 18446744073709551615ULL; }},
      {"duration null", [](Json& j) { j["schedules"][0]["duration"] = nullptr; }},
      {"blocklists of numbers", [](Json& j) { j["schedules"][0]["blocklists"] = {5}; }},
      {"a list without a name",
       [](Json& j) { j["schedules"][0]["blocklists"] = {{{"id", "00000000-0000-0000-0000-000000000001"}}}; }},
      {"a list with a bad id", [](Json& j) { j["schedules"][0]["blocklists"] = {{{"id", "x"}, {"name", "x"}}}; }},
      {"domains text", [](Json& j) { j["schedules"][0]["domains"] = "example.com"; }},
      {"effectiveFrom text", [](Json& j) { j["schedules"][0]["effectiveFrom"] = "yesterday"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Json json = sampleSet().toJson();
    c.change(json);
    auto decoded = ScheduleSet::decode(json.dump());
    EXPECT_FALSE(decoded.has_value());
    if (!decoded) {
      EXPECT_FALSE(decoded.error().reason.empty());
    }
  }
}

TEST(ScheduleJson, BytesThatAreNotJson) {
  const std::string cases[] = {"", "{}", "null", std::string("{\"schemaVersion\":3,\0}", 20), "\xFF\xFE{}",
                               sampleSet().encoded() + "x", sampleSet().encoded().substr(0, 100)};
  for (const auto& bytes : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_FALSE(ScheduleSet::decode(bytes).has_value());
  }
}

TEST(ScheduleJson, ScheduleListsForTheApp) {
  std::vector<Schedule> schedules = sampleSet().schedules;
  auto decoded = Schedule::decodeList(Schedule::encodedList(schedules));
  ASSERT_TRUE(decoded.has_value()) << decoded.error().reason;
  EXPECT_EQ(*decoded, schedules);
  EXPECT_EQ(Schedule::decodeList("[]"), std::vector<Schedule>{});
  for (const char* bad : {"{}", "[1]", "[{}]", "null", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(Schedule::decodeList(bad).has_value());
  }
}

TEST(ScheduleJson, TenThousandSchedulesDecodeAndAreRefused) {
  ScheduleSet big;
  for (std::uint64_t i = 0; i < 10'000; ++i) big.schedules.push_back(weeklySchedule({2}, 600, 3600, i));
  auto decoded = ScheduleSet::decode(big.encoded());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->schedules.size(), 10'000u);
  auto validated = decoded->validated();
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), DaemonError::invalidSchedule);
}

}  // namespace
}  // namespace hushwall
