// A schedule's validation, its windows in real time zones, and the set's run
// history and replacement. Window instants are written in UTC and computed
// without ICU, so each case checks ICU's local-time conversion against an
// independent clock. Weekdays: 1 = Sunday ... 7 = Saturday.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "HushwallCore/BlocklistRef.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/ScheduleCalendar.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::fixedID;
using testing::utc;
using testing::weeklySchedule;
using Outcome = ScheduleRun::Outcome;

std::string repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// A thumbs-up with a skin-tone modifier: one character, eight bytes.
constexpr std::string_view toned = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";

TEST(ScheduleValidation, EachRuleRefusesInItsOrderAndItsBoundaryPasses) {
  const std::optional<DaemonError> passes, bad = DaemonError::invalidSchedule;
  // clang-format off
  const struct { const char* what; void (*change)(Schedule&); std::optional<DaemonError> expected; } rows[] = {
      {"name of spaces and newlines", [](Schedule& s) { s.name = " \t\n\u3000 "; }, bad},
      {"65 toned emoji", [](Schedule& s) { s.name = repeated(toned, 65); }, bad},
      {"64 toned emoji", [](Schedule& s) { s.name = repeated(toned, 64); }, passes},
      {"one character with 100,000 combining marks", [](Schedule& s) { s.name = "a" + repeated("\u0301", 100'000); }, passes},
      {"a million characters", [](Schedule& s) { s.name = repeated("é", 1'000'000); }, bad},
      {"no weekdays", [](Schedule& s) { s.weekdays = {}; }, bad},
      {"weekday 0", [](Schedule& s) { s.weekdays = {0, 3}; }, bad},
      {"weekday 8", [](Schedule& s) { s.weekdays = {3, 8}; }, bad},
      {"weekdays 1 and 7", [](Schedule& s) { s.weekdays = {1, 7}; }, passes},
      {"start minute -1", [](Schedule& s) { s.startMinute = -1; }, bad},
      {"start minute 1440", [](Schedule& s) { s.startMinute = 1440; }, bad},
      {"start minute 1439", [](Schedule& s) { s.startMinute = 1439; }, passes},
      {"duration 59.9", [](Schedule& s) { s.duration = 59.9; }, bad},
      {"duration 60", [](Schedule& s) { s.duration = 60; }, passes},
      {"duration 86400", [](Schedule& s) { s.duration = 86400; }, passes},
      {"duration 86400.5", [](Schedule& s) { s.duration = 86400.5; }, bad},
      {"duration NaN", [](Schedule& s) { s.duration = std::nan(""); }, bad},
      {"no lists", [](Schedule& s) { s.blocklists = {}; }, bad},
      {"64 lists", [](Schedule& s) { for (std::uint64_t i = 1; i < 64; ++i) s.blocklists.emplace_back(fixedID(2000 + i), "L"); }, passes},
      {"65 lists", [](Schedule& s) { for (std::uint64_t i = 1; i < 65; ++i) s.blocklists.emplace_back(fixedID(2000 + i), "L"); }, bad},
      {"two lists with one id", [](Schedule& s) { s.blocklists = {BlocklistRef(fixedID(7), "A"), BlocklistRef(fixedID(7), "B")}; }, bad},
      {"a bad name is reported before bad domains", [](Schedule& s) { s.name = ""; s.domains = {}; }, bad},
      {"disabled, nil id and any effective date are not checked", [](Schedule& s) { s.isEnabled = false; s.id = Uuid(); s.effectiveFrom = Date{std::nan("")}; }, passes},
  };
  // clang-format on
  for (const auto& row : rows) {
    Schedule schedule = weeklySchedule({2}, 600, 3600);
    row.change(schedule);
    auto result = schedule.validated();
    EXPECT_EQ(result ? std::nullopt : std::optional(result.error()), row.expected) << row.what;
  }

  // As decoded: the name untrimmed, list names not yet cut, domains as typed.
  const Schedule messy(fixedID(1), " \n Deep work\t ", true, {2, 4}, 600, 3600,
                       {BlocklistRef(fixedID(8), repeated("l", 80)), BlocklistRef(fixedID(9), "x")},
                       {"Example.COM", "example.com", "news.org"});
  EXPECT_EQ(messy.validated(), Schedule(fixedID(1), "Deep work", true, {2, 4}, 600, 3600,
                                        {BlocklistRef(fixedID(8), repeated("l", 64)), BlocklistRef(fixedID(9), "x")},
                                        {"example.com", "news.org"}));
}

constexpr std::int64_t sunday = 1, monday = 2, saturday = 7;
const std::optional<Date> none;

// Each window is probed at several instants; each probe gives the occurrence holding it, or none. The calendar is
// the daemon's own, detected afresh from TZ for every window.
TEST(ScheduleOccurrence, WindowsInRealTimeZones) {
  // clang-format off
  const struct { const char* what; const char* zone; std::set<std::int64_t> weekdays; std::int64_t startMinute; double duration; std::vector<std::pair<Date, std::optional<Date>>> probes; } rows[] = {
      // Across midnight.
      {"New York: Monday 23:00 EST for 2h holds Tuesday 2024-01-16 00:30 EST and its start, not its end (Tuesday 01:00) nor the second before its start", "America/New_York", {monday}, 1380, 7200, {{utc(2024, 1, 16, 5, 30), utc(2024, 1, 16, 4, 0)}, {utc(2024, 1, 16, 6, 0), none}, {utc(2024, 1, 16, 4, 0), utc(2024, 1, 16, 4, 0)}, {utc(2024, 1, 16, 3, 59, 59), none}}},
      {"UTC: Saturday 23:30 for 1h holds Sunday 2024-01-14 00:15", "UTC", {saturday}, 1410, 3600, {{utc(2024, 1, 14, 0, 15), utc(2024, 1, 13, 23, 30)}}},
      // Northern spring forward: New York 2024-03-10 02:00 EST -> 03:00 EDT; fall back: 2024-11-03 02:00 EDT -> 01:00 EST.
      {"New York: Saturday 23:00 for 4h lasts 4 absolute hours: in spring to Sunday 04:00 EDT (08:00Z), closed then; in fall to Sunday 02:00 EST (07:00Z)", "America/New_York", {saturday}, 1380, 14400, {{utc(2024, 3, 10, 7, 59, 59), utc(2024, 3, 10, 4, 0)}, {utc(2024, 3, 10, 8, 0), none}, {utc(2024, 11, 3, 6, 59, 59), utc(2024, 11, 3, 3, 0)}}},
      {"New York: Saturday 23:30 EST for 24h still holds Monday 00:15 EDT, two local days on", "America/New_York", {saturday}, 1410, 86400, {{utc(2024, 3, 11, 4, 15), utc(2024, 3, 10, 4, 30)}}},
      {"New York: Sunday 02:30 is skipped; the window opens at 03:30 EDT, nothing is open at 03:29:59", "America/New_York", {sunday}, 150, 3600, {{utc(2024, 3, 10, 7, 30), utc(2024, 3, 10, 7, 30)}, {utc(2024, 3, 10, 7, 29, 59), none}}},
      {"New York: on the 23-hour Sunday two daily 24h windows hold 12:30 EDT, the later (12:00 EDT) wins; on the 25-hour Sunday 11:00 to 12:00 EST is uncovered", "America/New_York", {1, 2, 3, 4, 5, 6, 7}, 720, 86400, {{utc(2024, 3, 10, 16, 30), utc(2024, 3, 10, 16, 0)}, {utc(2024, 11, 3, 16, 30), none}}},
      {"New York: Sunday 01:30 happens twice; the first pass (01:45 EDT) is before the window, which opens at the second, 01:30 EST", "America/New_York", {sunday}, 90, 3600, {{utc(2024, 11, 3, 5, 45), none}, {utc(2024, 11, 3, 6, 30), utc(2024, 11, 3, 6, 30)}}},
      // A second northern zone: Berlin 2024-03-31 02:00 CET -> 03:00 CEST.
      {"Berlin: Sunday 02:30 is skipped; the window opens at 03:30 CEST", "Europe/Berlin", {sunday}, 150, 3600, {{utc(2024, 3, 31, 1, 30), utc(2024, 3, 31, 1, 30)}}},
      // Southern fall back: Sydney 2024-04-07 03:00 AEDT -> 02:00 AEST.
      {"Sydney: Sunday 02:30 happens twice; the first pass (02:45 AEDT) is before the window, which opens at the second, 02:30 AEST", "Australia/Sydney", {sunday}, 150, 1800, {{utc(2024, 4, 6, 15, 45), none}, {utc(2024, 4, 6, 16, 30), utc(2024, 4, 6, 16, 30)}}},
      {"Sydney: Saturday 23:00 AEDT for 4h runs to Sunday 02:00 AEST (16:00Z)", "Australia/Sydney", {saturday}, 1380, 14400, {{utc(2024, 4, 6, 15, 59, 59), utc(2024, 4, 6, 12, 0)}}},
      // Southern spring forward: Sydney 2024-10-06 02:00 AEST -> 03:00 AEDT.
      {"Sydney: Sunday 02:30 is skipped; the window opens at 03:30 AEDT, nothing is open at 03:29:59", "Australia/Sydney", {sunday}, 150, 3600, {{utc(2024, 10, 5, 16, 30), utc(2024, 10, 5, 16, 30)}, {utc(2024, 10, 5, 16, 29, 59), none}}},
      {"Sydney: Saturday 23:00 AEST for 5h runs to Sunday 05:00 AEDT (18:00Z), closed then", "Australia/Sydney", {saturday}, 1380, 18000, {{utc(2024, 10, 5, 17, 59, 59), utc(2024, 10, 5, 13, 0)}, {utc(2024, 10, 5, 18, 0), none}}},
      // Half-hour shifts: Lord Howe 2024-10-06 02:00 LHST (+10:30) -> 02:30 LHDT (+11),
      // and 2024-04-07 02:00 LHDT -> 01:30 LHST.
      {"Lord Howe: Sunday 02:15 is skipped; the window opens at 02:45 LHDT, nothing is open at 02:44:59", "Australia/Lord_Howe", {sunday}, 135, 3600, {{utc(2024, 10, 5, 15, 45), utc(2024, 10, 5, 15, 45)}, {utc(2024, 10, 5, 15, 44, 59), none}}},
      {"Lord Howe: Saturday 23:00 LHST for 4h runs to Sunday 03:30 LHDT (16:30Z)", "Australia/Lord_Howe", {saturday}, 1380, 14400, {{utc(2024, 10, 5, 16, 29, 59), utc(2024, 10, 5, 12, 30)}}},
      {"Lord Howe: Sunday 01:45 happens twice; the first pass (01:50 LHDT) is before the window, which opens at the second, 01:45 LHST", "Australia/Lord_Howe", {sunday}, 105, 1800, {{utc(2024, 4, 6, 14, 50), none}, {utc(2024, 4, 6, 15, 15), utc(2024, 4, 6, 15, 15)}}},
  };
  // clang-format on
  auto show = [](std::optional<Date> date) { return date ? std::to_string(date->unixTime()) : std::string("nothing"); };
  const char* saved = std::getenv("TZ");
  const std::string previous = saved != nullptr ? saved : "";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ::setenv("TZ", row.zone, 1);
    ScheduleCalendar calendar = ScheduleCalendar::systemCurrent();
    EXPECT_EQ(calendar.timeZoneID(), row.zone);
    const Schedule schedule = weeklySchedule(row.weekdays, row.startMinute, row.duration);
    for (const auto& [probe, expected] : row.probes)
      EXPECT_EQ(show(schedule.occurrence(probe, calendar)), show(expected)) << "at " << show(probe);
  }
  saved != nullptr ? ::setenv("TZ", previous.c_str(), 1) : ::unsetenv("TZ");
}

TEST(ScheduleSet, EachWindowIsRecordedOnceExceptThatRanWinsAndTheLatestFiveAreKept) {
  const Date w1{1000}, w2{2000};
  // clang-format off
  const struct { const char* what; std::vector<std::pair<ScheduleRun, bool>> steps; std::vector<ScheduleRun> history; } rows[] = {
      {"paused twice for one window", {{{w1, Outcome::paused}, true}, {{w1, Outcome::paused}, false}}, {{w1, Outcome::paused}}},
      {"sessionRunning then ran", {{{w1, Outcome::sessionRunning}, true}, {{w1, Outcome::ran, 900}, true}}, {{w1, Outcome::ran, 900}}},
      {"ran twice keeps the first", {{{w1, Outcome::ran, 900}, true}, {{w1, Outcome::ran, 60}, false}}, {{w1, Outcome::ran, 900}}},
      {"only the last entry is compared", {{{w1, Outcome::paused}, true}, {{w2, Outcome::paused}, true}, {{w1, Outcome::ran, 5}, true}}, {{w1, Outcome::paused}, {w2, Outcome::paused}, {w1, Outcome::ran, 5}}},
      {"the latest five are kept", {{{Date{1}, Outcome::paused}, true}, {{w1, Outcome::paused}, true}, {{w2, Outcome::paused}, true}, {{Date{3}, Outcome::paused}, true}, {{Date{4}, Outcome::paused}, true}, {{Date{5}, Outcome::ran, 9}, true}}, {{w1, Outcome::paused}, {w2, Outcome::paused}, {Date{3}, Outcome::paused}, {Date{4}, Outcome::paused}, {Date{5}, Outcome::ran, 9}}},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScheduleSet set;
    for (const auto& [run, changed] : row.steps) EXPECT_EQ(set.record(run, fixedID(1)), changed);
    EXPECT_EQ(set.history, (decltype(set.history){{fixedID(1), row.history}}));
    EXPECT_EQ(set.lastRun(fixedID(1)), row.history.back());
  }
  EXPECT_EQ(ScheduleSet().lastRun(fixedID(1)), std::nullopt);
}

TEST(ScheduleSet, ReplacingDatesChangedTimingsAndRefusesAnyInvalidList) {
  const Date before{1000}, now{5000};
  Schedule kept = weeklySchedule({2, 4}, 600, 3600, 1), neverDated = weeklySchedule({3}, 600, 3600, 2);
  kept.effectiveFrom = before;
  const ScheduleSet current{3, {kept, neverDated}, {{kept.id, Date{10}}}, {}};
  // clang-format off
  const struct { const char* what; Schedule (*edit)(Schedule); std::optional<Date> expected; } timings[] = {
      {"name, lists, domains and pause changed", [](Schedule s) { s.name = "Renamed"; s.isEnabled = false; s.blocklists.emplace_back(fixedID(99), "More"); s.domains = {"other.org"}; return s; }, before},
      {"start minute moved", [](Schedule s) { s.startMinute = 601; return s; }, now},
      {"duration changed", [](Schedule s) { s.duration = 3601; return s; }, now},
      {"a new id", [](Schedule s) { s.id = fixedID(50); return s; }, now},
  };
  // clang-format on
  for (const auto& row : timings)
    EXPECT_EQ(current.replacing({row.edit(kept)}, now)->schedules.at(0).effectiveFrom, row.expected) << row.what;
  EXPECT_EQ(current.replacing({neverDated}, now)->schedules.at(0).effectiveFrom, std::nullopt);  // none stays none

  std::vector<Schedule> tooMany;
  for (std::uint64_t i = 0; i < 33; ++i) tooMany.push_back(weeklySchedule({2}, 600, 3600, i));
  Schedule bad = weeklySchedule({2}, 600, 3600, 5), shortWindow = weeklySchedule({2}, 600, 30, 6);
  bad.domains = {"bad domain"};
  // clang-format off
  const struct { const char* what; std::vector<Schedule> list; DaemonError expected; } refusals[] = {
      {"33 schedules", tooMany, DaemonError::invalidSchedule},
      {"two schedules with one id", {kept, kept}, DaemonError::invalidSchedule},
      {"one schedule invalid", {kept, shortWindow}, DaemonError::invalidSchedule},
      {"the first failure in list order is returned", {bad, shortWindow}, DaemonError::invalidDomain},
      {"every schedule is validated before ids are compared", {kept, kept, bad}, DaemonError::invalidDomain},
  };
  // clang-format on
  for (const auto& row : refusals)
    EXPECT_EQ(current.replacing(row.list, now), std::unexpected(row.expected)) << row.what;
  EXPECT_TRUE(current.replacing(std::vector(tooMany.begin(), tooMany.begin() + 32), now));
  EXPECT_TRUE(current.replacing({}, now)->isEmpty());
}

}  // namespace
}  // namespace hushwall
