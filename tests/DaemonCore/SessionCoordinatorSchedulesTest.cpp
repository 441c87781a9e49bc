#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CoordinatorHarness.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using Kind = SessionCoordinator::Outcome::Kind;
using Outcome = SessionCoordinator::Outcome;
using testing::CapturingLogSink;
using testing::CoordinatorHarness;
using testing::fixedID;
using testing::utc;
using testing::weeklySchedule;

constexpr std::int64_t monday = 2;
const Date windowStart = utc(2026, 12, 7, 9, 0);  // a Monday

// A harness whose clock reads `minutesIn` minutes after the window's start.
std::unique_ptr<CoordinatorHarness> harnessAt(double minutesIn) {
  auto h = std::make_unique<CoordinatorHarness>("UTC", windowStart.sinceReferenceDate + minutesIn * 60);
  return h;
}

ScheduleSet storedSet(CoordinatorHarness& h) {
  auto loaded = ScheduleStore(h.stateDirectory).load();
  auto* set = std::get_if<ScheduleSet>(&loaded);
  return set ? *set : ScheduleSet{};
}

std::vector<ScheduleRun> historyOf(CoordinatorHarness& h, const Uuid& id) {
  auto set = storedSet(h);
  auto found = set.history.find(id);
  return found == set.history.end() ? std::vector<ScheduleRun>{} : found->second;
}

TEST(CoordinatorSchedules, AnOpenWindowStartsASessionForWhatIsLeftOfIt) {
  auto h = harnessAt(30);
  Schedule schedule = weeklySchedule({monday}, 9 * 60, 3600, 7);
  h->saveSchedules({schedule});
  h->takeEvents();

  CapturingLogSink logs;
  auto outcome = h->coordinator->tick();
  ASSERT_EQ(outcome.kind, Kind::running);
  const SessionState& state = *outcome.state;
  EXPECT_EQ(state.totalDuration, 1800);
  EXPECT_EQ(state.scheduleID, schedule.id);
  EXPECT_EQ(state.scheduleName, "Focus 7");
  EXPECT_EQ(state.domains, schedule.domains);
  EXPECT_TRUE(h->hostsHasBlock());
  EXPECT_EQ(h->takeEvents(), (std::vector<std::string>{"ring", "flush"}));
  EXPECT_EQ(logs.messages("session"),
            std::vector<std::string>{"schedule " + schedule.id.string() + " started session " + state.id.string() +
                                     ", 1800s of its window left"});
  EXPECT_EQ(storedSet(*h).lastFired.at(schedule.id), windowStart);
  EXPECT_EQ(historyOf(*h, schedule.id), (std::vector<ScheduleRun>{{windowStart, ScheduleRun::Outcome::ran, 1800}}));

  // Later ticks of the same window say it already fired and record nothing new.
  logs.clear();
  h->clock->advance(15);
  EXPECT_EQ(h->coordinator->tick().kind, Kind::running);
  EXPECT_EQ(logs.messages("session"),
            std::vector<std::string>{"schedule " + schedule.id.string() + " skipped: alreadyFired"});
  EXPECT_EQ(historyOf(*h, schedule.id).size(), 1u);
}

TEST(CoordinatorSchedules, EachOpenWindowIsRecordedOnce) {
  struct Case {
    const char* what;
    std::vector<Schedule> schedules;
    bool manualSession;
    std::map<std::uint64_t, ScheduleRun::Outcome> recorded;  // by fixed id
    std::optional<std::uint64_t> starts;
  };
  Schedule paused = weeklySchedule({monday}, 9 * 60, 3600, 3);
  paused.isEnabled = false;
  const Case cases[] = {
      {"a session started by hand",
       {weeklySchedule({monday}, 9 * 60, 3600, 1)},
       true,
       {{1, ScheduleRun::Outcome::sessionRunning}},
       std::nullopt},
      {"two windows at the same minute: the smaller id starts",
       {weeklySchedule({monday}, 9 * 60, 3600, 2), weeklySchedule({monday}, 9 * 60, 3600, 1)},
       false,
       {{2, ScheduleRun::Outcome::sessionRunning}, {1, ScheduleRun::Outcome::ran}},
       1},
      {"a paused schedule", {paused}, false, {{3, ScheduleRun::Outcome::paused}}, std::nullopt},
      {"under a minute left",
       {weeklySchedule({monday}, 8 * 60 + 6, 3600 - 1, 4)},
       false,
       {{4, ScheduleRun::Outcome::windowNearlyOver}},
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto h = harnessAt(5);
    CapturingLogSink quiet;
    if (c.manualSession) {
      ASSERT_TRUE(h->coordinator->start({"manual.com"}, 3600));
    }
    h->saveSchedules(c.schedules);
    for (int tick = 0; tick < 3; ++tick) {
      auto outcome = h->coordinator->tick();
      if (tick == 0 && c.starts) {
        ASSERT_EQ(outcome.kind, Kind::running);
        EXPECT_EQ(outcome.state->scheduleID, fixedID(*c.starts));
      }
      h->clock->advance(5);
    }
    for (const auto& [n, outcome] : c.recorded) {
      auto runs = historyOf(*h, fixedID(n));
      ASSERT_EQ(runs.size(), 1u) << n;
      EXPECT_EQ(runs[0].outcome, outcome) << n;
    }
  }
}

TEST(CoordinatorSchedules, AFailedScheduledStartRecordsNothingAndIsTriedAgain) {
  auto h = harnessAt(30);
  Schedule schedule = weeklySchedule({monday}, 9 * 60, 3600, 1);
  h->saveSchedules({schedule});
  h->failHostsWrite = true;
  CapturingLogSink logs;
  EXPECT_EQ(h->coordinator->tick(), Outcome::idle());
  EXPECT_EQ(logs.messages("session").back(), "schedule " + schedule.id.string() +
                                                 " could not start: could not rename the temporary file over " +
                                                 h->hostsPath + ": Permission denied");
  EXPECT_FALSE(h->coordinator->current());
  EXPECT_FALSE(h->store->exists());
  EXPECT_TRUE(historyOf(*h, schedule.id).empty());

  h->failHostsWrite = false;
  h->clock->advance(15);
  auto retried = h->coordinator->tick();
  ASSERT_EQ(retried.kind, Kind::running);
  EXPECT_EQ(retried.state->totalDuration, 1800 - 15);
}

// A launch inside an open window starts its session; a stuck one leaves the schedules alone.
TEST(CoordinatorSchedules, ALaunchInsideAnOpenWindowStartsItsSessionUnlessStuck) {
  for (bool stuck : {false, true}) {
    SCOPED_TRACE(stuck ? "stuck" : "launch");
    auto h = harnessAt(10);
    Schedule schedule = weeklySchedule({monday}, 9 * 60, 3600, 1);
    h->saveSchedules({schedule});
    if (stuck) h->writeSessionFile("garbage");
    h->restart();
    CapturingLogSink logs;
    auto outcome = h->coordinator->reconcileOnLaunch();
    ASSERT_EQ(outcome.kind, stuck ? Kind::stuck : Kind::running);
    if (!stuck) {
      EXPECT_EQ(outcome.state->totalDuration, 3000);
      continue;
    }
    logs.clear();
    EXPECT_EQ(h->coordinator->tick(), Outcome::stuck(DaemonError::stateUnreadable));
    EXPECT_TRUE(logs.messages("session").empty());
    EXPECT_TRUE(historyOf(*h, schedule.id).empty());
  }
}

}  // namespace
}  // namespace hushwall
