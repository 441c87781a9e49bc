#include <gtest/gtest.h>

#include <vector>

#include "HushwallCore/ScheduleSet.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::fixedID;
using testing::weeklySchedule;
using Outcome = ScheduleRun::Outcome;

TEST(ScheduleSetRecord, EachWindowIsRecordedOnceExceptThatRanWins) {
  struct Step {
    ScheduleRun run;
    bool changed;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    std::vector<ScheduleRun> history;
  };
  const Date w1{1000}, w2{2000};
  const Case cases[] = {
      {"paused twice for one window",
       {{{w1, Outcome::paused}, true}, {{w1, Outcome::paused}, false}},
       {{w1, Outcome::paused}}},
      {"sessionRunning then ran",
       {{{w1, Outcome::sessionRunning}, true}, {{w1, Outcome::ran, 900}, true}},
       {{w1, Outcome::ran, 900}}},
      {"ran then paused", {{{w1, Outcome::ran, 900}, true}, {{w1, Outcome::paused}, false}}, {{w1, Outcome::ran, 900}}},
      {"ran twice keeps the first",
       {{{w1, Outcome::ran, 900}, true}, {{w1, Outcome::ran, 60}, false}},
       {{w1, Outcome::ran, 900}}},
      {"another outcome for the same window",
       {{{w1, Outcome::windowNearlyOver}, true}, {{w1, Outcome::sessionRunning}, false}},
       {{w1, Outcome::windowNearlyOver}}},
      {"a new window appends",
       {{{w1, Outcome::paused}, true}, {{w2, Outcome::paused}, true}},
       {{w1, Outcome::paused}, {w2, Outcome::paused}}},
      {"only the last entry is compared",
       {{{w1, Outcome::paused}, true}, {{w2, Outcome::paused}, true}, {{w1, Outcome::ran, 5}, true}},
       {{w1, Outcome::paused}, {w2, Outcome::paused}, {w1, Outcome::ran, 5}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScheduleSet set;
    for (const auto& step : c.steps) EXPECT_EQ(set.record(step.run, fixedID(1)), step.changed);
    EXPECT_EQ(set.history.at(fixedID(1)), c.history);
    EXPECT_EQ(set.lastRun(fixedID(1)), c.history.back());
    EXPECT_EQ(set.history.size(), 1u);
  }
}

TEST(ScheduleSetRecord, KeepsTheLatestFiveRunsPerSchedule) {
  ScheduleSet set;
  for (int i = 1; i <= 7; ++i) EXPECT_TRUE(set.record({Date{i * 100.0}, Outcome::paused}, fixedID(1)));
  EXPECT_TRUE(set.record({Date{1}, Outcome::paused}, fixedID(2)));
  const auto& runs = set.history.at(fixedID(1));
  ASSERT_EQ(runs.size(), ScheduleSet::maxHistory);
  EXPECT_EQ(runs.front().occurrence, Date{300});
  EXPECT_EQ(runs.back().occurrence, Date{700});
  EXPECT_EQ(set.history.at(fixedID(2)).size(), 1u);
  EXPECT_EQ(set.lastRun(fixedID(3)), std::nullopt);
}

TEST(ScheduleSetReplacing, EffectiveFromFollowsTheTiming) {
  const Date before{1000}, now{5000};
  Schedule kept = weeklySchedule({2, 4}, 600, 3600, 1);
  kept.effectiveFrom = before;
  Schedule neverDated = weeklySchedule({3}, 600, 3600, 2);
  ScheduleSet current{3, {kept, neverDated}, {}, {}};

  struct Case {
    const char* what;
    Schedule (*edit)(Schedule);
    std::optional<Date> expected;
  };
  const Case cases[] = {
      {"name, lists, domains and pause changed",
       [](Schedule s) {
         s.name = "Renamed";
         s.isEnabled = false;
         s.blocklists.emplace_back(fixedID(99), "More");
         s.domains = {"other.org"};
         return s;
       },
       before},
      {"start minute moved",
       [](Schedule s) {
         s.startMinute = 601;
         return s;
       },
       now},
      {"duration changed",
       [](Schedule s) {
         s.duration = 3601;
         return s;
       },
       now},
      {"a new id",
       [](Schedule s) {
         s.id = fixedID(50);
         return s;
       },
       now},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto next = current.replacing({c.edit(kept)}, now);
    ASSERT_TRUE(next.has_value());
    ASSERT_EQ(next->schedules.size(), 1u);
    EXPECT_EQ(next->schedules[0].effectiveFrom, c.expected);
  }
  // An unchanged schedule that never had a date keeps having none.
  auto next = current.replacing({neverDated}, now);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->schedules[0].effectiveFrom, std::nullopt);
}

TEST(ScheduleSetReplacing, AnyInvalidListFailsAndChangesNothing) {
  Schedule a = weeklySchedule({2}, 600, 3600, 1);
  ScheduleSet current{3, {a}, {{a.id, Date{10}}}, {}};
  const ScheduleSet original = current;

  std::vector<Schedule> tooMany;
  for (std::uint64_t i = 0; i < 33; ++i) tooMany.push_back(weeklySchedule({2}, 600, 3600, i));
  std::vector<Schedule> thirtyTwo(tooMany.begin(), tooMany.begin() + 32);
  Schedule badDomain = weeklySchedule({2}, 600, 3600, 5);
  badDomain.domains = {"bad domain"};
  Schedule shortWindow = weeklySchedule({2}, 600, 30, 6);

  struct Case {
    const char* what;
    std::vector<Schedule> list;
    DaemonError expected;
  };
  const Case cases[] = {
      {"33 schedules", tooMany, DaemonError::invalidSchedule},
      {"two schedules with one id", {a, a}, DaemonError::invalidSchedule},
      {"one schedule invalid", {a, shortWindow}, DaemonError::invalidSchedule},
      {"the first failure in list order is returned", {badDomain, shortWindow}, DaemonError::invalidDomain},
      {"every schedule is validated before ids are compared", {a, a, badDomain}, DaemonError::invalidDomain},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto next = current.replacing(c.list, Date{100});
    ASSERT_FALSE(next.has_value());
    EXPECT_EQ(next.error(), c.expected);
    EXPECT_EQ(current, original);
  }
  EXPECT_TRUE(current.replacing(thirtyTwo, Date{100}).has_value());
  EXPECT_TRUE(current.replacing({}, Date{100})->isEmpty());
}

}  // namespace
}  // namespace hushwall
