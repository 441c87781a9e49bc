// A schedule's validation, and the set's run history and replacement.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "HushwallCore/BlocklistRef.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::fixedID;
using testing::weeklySchedule;
using Outcome = ScheduleRun::Outcome;

std::string repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// A thumbs-up with a skin-tone modifier: one character, eight bytes.
constexpr std::string_view toned = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";

std::vector<BlocklistRef> lists(std::size_t count) {
  std::vector<BlocklistRef> out;
  for (std::size_t i = 0; i < count; ++i) out.emplace_back(fixedID(2000 + i), "List " + std::to_string(i));
  return out;
}

TEST(ScheduleValidation, EachRuleRefusesInItsOrderAndItsBoundaryPasses) {
  const std::optional<DaemonError> passes, bad = DaemonError::invalidSchedule, badDomain = DaemonError::invalidDomain;
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
      {"64 lists", [](Schedule& s) { s.blocklists = lists(64); }, passes},
      {"65 lists", [](Schedule& s) { s.blocklists = lists(65); }, bad},
      {"two lists with one id", [](Schedule& s) { s.blocklists = {BlocklistRef(fixedID(7), "A"), BlocklistRef(fixedID(7), "B")}; }, bad},
      {"no domains", [](Schedule& s) { s.domains = {}; }, badDomain},
      {"a bad domain", [](Schedule& s) { s.domains = {"example.com", "not a domain"}; }, badDomain},
      {"501 domains", [](Schedule& s) { for (int i = 0; i < 501; ++i) s.domains.push_back("d" + std::to_string(i) + ".com"); }, DaemonError::tooManyDomains},
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

  Schedule messy = weeklySchedule({2, 4}, 600, 3600);
  messy.name = " \n Deep work\t ";
  messy.blocklists = {BlocklistRef(fixedID(8), repeated("l", 80)),
                      BlocklistRef(fixedID(9), "x")};  // as decoded: not yet cut
  messy.domains = {"Example.COM", "example.com", "news.org"};
  Schedule clean = messy;
  clean.name = "Deep work";
  clean.blocklists[0].name = repeated("l", 64);
  clean.domains = {"example.com", "news.org"};
  EXPECT_EQ(messy.validated(), clean);
  EXPECT_EQ(messy.name, " \n Deep work\t ");  // the original is untouched
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
  ScheduleSet current{3, {kept, neverDated}, {{kept.id, Date{10}}}, {}};
  const ScheduleSet original = current;
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
  EXPECT_EQ(current, original);
  EXPECT_TRUE(current.replacing(std::vector(tooMany.begin(), tooMany.begin() + 32), now));
  EXPECT_TRUE(current.replacing({}, now)->isEmpty());
}

}  // namespace
}  // namespace hushwall
