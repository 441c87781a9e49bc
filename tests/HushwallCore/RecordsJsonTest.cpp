// Every wire and stored record through the one JSON convention layer: the
// exact bytes each writes and reads back, the leniency the conventions allow,
// and one row per distinct way a read fails; and the daemon's bus error names.
#include <gtest/gtest.h>

#include <string>

#include "HushwallCore/DaemonHealth.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/FilterReport.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/FilterStatus.hpp"
#include "HushwallCore/Json.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/StartSessionRequest.hpp"
#include "support/FilterRecords.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::fixedID;
using testing::weeklySchedule;

const Uuid id = fixedID(1);
const std::string idText = id.string();

const SessionState session{.id = id,
                           .domains = {"example.com", "news.example"},
                           .totalDuration = 1800,
                           .consumed = 100.25,
                           .lastTick = Tick{Date{1000.5}, Date{-200}, 5000.125, "A"},
                           .startedAt = Date{900.75},
                           .scheduleID = {},
                           .scheduleName = {}};

ScheduleSet scheduleSet() {
  Schedule one = weeklySchedule({2, 4}, 540, 3600, 1);
  one.effectiveFrom = Date{7.25e8};
  Schedule two = weeklySchedule({7}, 1410, 7200, 2);
  two.isEnabled = false;
  two.blocklists = {BlocklistRef(fixedID(11), "Work"), BlocklistRef(fixedID(12), "News")};
  return ScheduleSet{
      3, {one, two}, {{one.id, Date{7.3e8}}}, {{one.id, {{Date{7.3e8}, ScheduleRun::Outcome::ran, 3000.5}}}}};
}

// The record writes exactly `json` and reads its bytes back as itself.
template <class T>
void expectRecord(const T& value, const std::string& json) {
  EXPECT_EQ(Json::parse(value.encoded()), Json::parse(json));
  EXPECT_EQ(T::decode(value.encoded()), value);
}

TEST(RecordsJson, EachRecordWritesItsExactFormAndReadsItBackAndWhatTheConventionsAllow) {
  SessionState scheduled = session;
  scheduled.scheduleID = fixedID(2);
  scheduled.scheduleName = "Mornings";
  const FilterReport report{1, FilterReport::Outcome::keptPrevious, id, 2, "1.4", "denied"};
  // clang-format off
  const std::string sessionJson = R"({"schemaVersion":3,"id":")" + idText + R"(","domains":["example.com","news.example"],"totalDuration":1800.0,"consumed":100.25,)"
                                  R"("lastTick":{"wallClock":1000.5,"bootTime":-200.0,"continuous":5000.125,"bootID":"A"},"startedAt":900.75)";
  const std::string one = R"({"id":")" + idText + R"(","name":"Focus 1","isEnabled":true,"weekdays":[2,4],"startMinute":540,"duration":3600.0,"blocklists":[{"id":"00000000-0000-0000-0000-0000000003E9","name":"Work"}],"blocklistID":"00000000-0000-0000-0000-0000000003E9","blocklistName":"Work","effectiveFrom":725000000.0,"domains":["example.com"]})";
  const std::string two = R"({"id":"00000000-0000-0000-0000-000000000002","name":"Focus 2","isEnabled":false,"weekdays":[7],"startMinute":1410,"duration":7200.0,"blocklists":[{"id":"00000000-0000-0000-0000-00000000000B","name":"Work"},{"id":"00000000-0000-0000-0000-00000000000C","name":"News"}],"blocklistID":"00000000-0000-0000-0000-000000000002","blocklistName":"Work + News","domains":["example.com"]})";
  expectRecord(session, sessionJson + "}");
  expectRecord(scheduled, sessionJson + R"(,"scheduleID":")" + fixedID(2).string() + R"(","scheduleName":"Mornings"})");
  expectRecord(StartSessionRequest{{"example.com"}, 1500.5}, R"({"domains":["example.com"],"duration":1500.5})");
  expectRecord(report, R"({"schemaVersion":1,"outcome":"keptPrevious","sessionID":")" + idText + R"(","ruleCount":2,"filterVersion":"1.4","detail":"denied"})");
  expectRecord(DaemonHealth{"0.1.0", 0, false, 0, true, std::nullopt, std::nullopt, std::nullopt}, R"({"version":"0.1.0","uid":0,"hasActiveSession":false,"uptime":0.0,"canManageBlock":true})");
  expectRecord(DaemonHealth{"0.1.0", 4294967295u, true, 93.25, false, "broken", FilterStatus{report, 12.5}, "v0.1"},
               R"({"version":"0.1.0","uid":4294967295,"hasActiveSession":true,"uptime":93.25,"canManageBlock":false,"scheduleFailure":"broken","filter":{"report":)" + report.encoded() + R"(,"secondsSinceReport":12.5},"build":"v0.1"})");
  // A session's rules block, even while the daemon is stuck; without one they are idle, or unknown when stuck.
  expectRecord(FilterRuleSet(session, true), R"({"schemaVersion":1,"state":"blocking","sessionID":")" + idText + R"(","domains":["example.com","news.example"]})");
  expectRecord(FilterRuleSet(std::nullopt, false), R"({"schemaVersion":1,"state":"idle","domains":[]})");
  expectRecord(FilterRuleSet(std::nullopt, true), R"({"schemaVersion":1,"state":"unknown","domains":[]})");
  // Maps are flat arrays (id text, value, ...). Every schedule also carries the schema-2 pair: its one list, or one
  // named after all of them with the schedule's own id.
  expectRecord(scheduleSet(), R"({"schemaVersion":3,"schedules":[)" + one + "," + two + R"(],"lastFired":[")" + idText +
               R"(",730000000.0],"history":[")" + idText + R"(",[{"occurrence":730000000.0,"outcome":"ran","duration":3000.5}]]})");
  // clang-format on
  EXPECT_EQ(Schedule::decodeList(Schedule::encodedList(scheduleSet().schedules)), scheduleSet().schedules);

  // What the conventions allow: unknown keys are ignored, null reads as absent for an optional key, ids in either
  // case, integral numbers written without a fraction, the schema-2 pair alone.
  SessionState withoutBootID = session;
  withoutBootID.lastTick.bootID = "";
  Schedule pair = weeklySchedule({2}, 600, 3600, 1);
  pair.blocklists = {BlocklistRef(fixedID(1001), std::string(64, 'x'))};
  // clang-format off
  EXPECT_EQ(SessionState::decode(R"({"schemaVersion":3,"id":"00000000-0000-0000-0000-000000000001","domains":["example.com","news.example"],"totalDuration":1800,"consumed":100.25,)"
                                 R"("lastTick":{"wallClock":1000.5,"bootTime":-200,"continuous":5000.125},"startedAt":900.75,"scheduleID":null,"future":{"nested":true}})"), withoutBootID);
  EXPECT_EQ(ScheduleSet::decode(R"({"schemaVersion":3,"lastFired":[],"history":null,"schedules":[{"id":")" + idText + R"(","name":"Focus 1","weekdays":[2,2],"startMinute":600.0,"duration":3600,)"
                                R"("isEnabled":true,"domains":["example.com"],"blocklistID":"00000000-0000-0000-0000-0000000003e9","blocklistName":")" + std::string(80, 'x') + R"("}]})"), (ScheduleSet{3, {pair}, {}, {}}));
  // clang-format on
}

template <class T>
std::string reason(const Decoded<T>& decoded) {
  return decoded ? "decoded" : decoded.error().reason;
}

// Each row is one way a read fails: the whole record is refused, saying why.
TEST(RecordsJson, EveryWayAReadFailsRefusesTheWholeRecord) {
  auto edited = [](const std::string& valid, auto change) {
    Json json = Json::parse(valid);
    change(json);
    return json.dump();
  };
  const std::string valid = session.encoded();
  // clang-format off
  const std::pair<std::string, std::string> rows[] = {
      {reason(SessionState::decode(R"({"schemaVersion":3)")), "not valid JSON"},
      {reason(SessionState::decode("[]")), R"("session": expected an object)"},
      {reason(SessionState::decode(std::string(100000, '[') + std::string(100000, ']'))), R"("session": expected an object)"},  // deep nesting
      {reason(SessionState::decode(edited(valid, [](Json& j) { j.erase("domains"); }))), R"(missing key "domains")"},
      {reason(SessionState::decode(edited(valid, [](Json& j) { j["totalDuration"] = "1800"; }))), R"("totalDuration": expected a number)"},
      {reason(SessionState::decode(edited(valid, [](Json& j) { j["schemaVersion"] = 3.5; }))), R"("schemaVersion": expected an integer)"},
      {reason(SessionState::decode(edited(valid, [](Json& j) { j["schemaVersion"] = 18446744073709551615ULL; }))), R"("schemaVersion": expected a 64-bit integer)"},
      {reason(SessionState::decode(edited(valid, [](Json& j) { j["id"] = "not-a-uuid"; }))), R"("id": expected a UUID)"},
      {reason(SessionState::decode(edited(valid, [](Json& j) { j["domains"] = {1}; }))), R"("domains": expected a string)"},
      {reason(SessionState::decode(edited(valid, [](Json& j) { j["scheduleName"] = 3; }))), R"("scheduleName": expected a string)"},  // an optional key
      {reason(FilterReport::decode(R"({"schemaVersion":1,"outcome":"Applied","ruleCount":0,"filterVersion":""})")), R"("outcome": expected one of the enumeration's case names)"},
      {reason(ScheduleSet::decode(edited(scheduleSet().encoded(), [](Json& j) { j["lastFired"] = {idText}; }))), R"("lastFired": odd number of elements)"},
      {reason(DaemonHealth::decode(edited(DaemonHealth{}.encoded(), [](Json& j) { j["uid"] = 4294967296; }))), R"("uid": expected an unsigned 32-bit integer)"},
  };
  // clang-format on
  for (const auto& [got, expected] : rows) EXPECT_EQ(got, expected);
}

// A client reads the daemon's refusals back from their bus error names; anything else is no daemon error.
TEST(DaemonError, BusNamesReadBackAsTheirErrorAndNothingElseDoes) {
  EXPECT_EQ(dbusErrorName(DaemonError::invalidDomain), "org.hushwall.daemon.error.invalidDomain");
  EXPECT_EQ(daemonErrorFromDBusName("org.hushwall.daemon.error.invalidDomain"), DaemonError::invalidDomain);
  for (std::string_view other : {"org.hushwall.daemon.error.", "org.hushwall.daemon.errors.invalidDomain",
                                 "org.hushwall.daemon.error.InvalidDomain", "org.freedesktop.DBus.Error.Failed"})
    EXPECT_EQ(daemonErrorFromDBusName(other), std::nullopt) << other;
}

}  // namespace
}  // namespace hushwall
