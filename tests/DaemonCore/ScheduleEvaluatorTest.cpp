// The evaluator's order of checks and tie-breaks. Times are in UTC unless a
// case names another zone; "now" is Monday 2024-01-15 12:00 UTC.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "DaemonCore/ScheduleEvaluator.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::fixedID;
using testing::utc;
using testing::weeklySchedule;
using Reason = ScheduleSkipReason;

constexpr std::int64_t monday = 2;
const Date now = utc(2024, 1, 15, 12, 0);

// A Monday schedule whose window opened `ago` seconds before now and lasts `duration`.
Schedule openedAgo(double ago, double duration, std::uint64_t n, bool enabled = true) {
  double opened = 720 * 60 - ago;  // seconds into Monday
  Schedule schedule = weeklySchedule({monday}, static_cast<std::int64_t>(opened / 60), duration, n);
  schedule.isEnabled = enabled;
  return schedule;
}

Schedule withID(Schedule schedule, const char* id) {
  schedule.id = *Uuid::parse(id);
  return schedule;
}

ScheduleDecision starting(const Schedule& schedule, Date occurrence, double duration,
                          std::map<Uuid, Reason> skipped = {}) {
  return ScheduleDecision{ScheduleDecision::Start{schedule, occurrence, duration}, std::move(skipped)};
}

ScheduleDecision skipping(std::map<Uuid, Reason> skipped) { return ScheduleDecision{std::nullopt, std::move(skipped)}; }

TEST(ScheduleEvaluator, OrderOfChecksAndTieBreaks) {
  const Schedule tenMinutesIn = openedAgo(600, 3600, 1);
  const Schedule lowID = withID(openedAgo(600, 3600, 0), "0A000000-0000-0000-0000-000000000000");
  const Schedule highID = withID(openedAgo(600, 3600, 0), "A0000000-0000-0000-0000-000000000000");
  const Schedule earlierHighID = withID(openedAgo(1200, 3600, 0), "F0000000-0000-0000-0000-000000000000");
  const Schedule disabled = openedAgo(600, 3600, 2, false);
  const Schedule tuesday = weeklySchedule({3}, 700, 3600, 3);
  const Schedule closed = openedAgo(7200, 3600, 4);
  const Schedule oneMinuteLeft = openedAgo(3540, 3600, 5);
  // 59.9 seconds left: opened 3540 s ago for 3599.9 s.
  const Schedule underAMinuteLeft = openedAgo(3540, 3599.9, 6);
  const Date opened = now - 600;

  struct Case {
    const char* what;
    std::vector<Schedule> schedules;
    std::map<Uuid, Date> lastFired;
    bool hasSession;
    ScheduleDecision expected;
  };
  // One row a case.
  // clang-format off
  const Case cases[] = {
      {"no schedules", {}, {}, false, ScheduleDecision::nothingToDo()},
      {"no window open: other day, window over", {tuesday, closed}, {}, false, ScheduleDecision::nothingToDo()},
      {"opened ten minutes ago, never fired", {tenMinutesIn}, {}, false, starting(tenMinutesIn, opened, 3000)},
      {"fired at this window's start", {tenMinutesIn}, {{tenMinutesIn.id, opened}}, false, skipping({{tenMinutesIn.id, Reason::alreadyFired}})},
      {"fired at a later instant", {tenMinutesIn}, {{tenMinutesIn.id, now}}, false, skipping({{tenMinutesIn.id, Reason::alreadyFired}})},
      {"fired one week earlier", {tenMinutesIn}, {{tenMinutesIn.id, opened - 604800}}, false, starting(tenMinutesIn, opened, 3000)},
      {"fired for another schedule only", {tenMinutesIn}, {{fixedID(99), opened}}, false, starting(tenMinutesIn, opened, 3000)},
      {"same start: the smaller id text wins, whatever the list order", {highID, lowID}, {}, false, starting(lowID, opened, 3000, {{highID.id, Reason::sessionRunning}})},
      {"the earlier window wins although its id sorts last", {lowID, earlierHighID}, {}, false, starting(earlierHighID, now - 1200, 2400, {{lowID.id, Reason::sessionRunning}})},
      {"a session runs: every eligible window waits", {tenMinutesIn, lowID}, {}, true, skipping({{tenMinutesIn.id, Reason::sessionRunning}, {lowID.id, Reason::sessionRunning}})},
      {"disabled, no session", {disabled}, {}, false, skipping({{disabled.id, Reason::paused}})},
      {"disabled, session running", {disabled}, {}, true, skipping({{disabled.id, Reason::paused}})},
      {"disabled beats fired", {disabled}, {{disabled.id, opened}}, true, skipping({{disabled.id, Reason::paused}})},
      {"exactly one minute left starts a one-minute session", {oneMinuteLeft}, {}, false, starting(oneMinuteLeft, now - 3540, 60)},
      {"59.9 seconds left", {underAMinuteLeft}, {}, false, skipping({{underAMinuteLeft.id, Reason::windowNearlyOver}})},
      {"fired beats nearly over", {underAMinuteLeft}, {{underAMinuteLeft.id, now - 3540}}, false, skipping({{underAMinuteLeft.id, Reason::alreadyFired}})},
      {"nearly over beats a running session", {underAMinuteLeft}, {}, true, skipping({{underAMinuteLeft.id, Reason::windowNearlyOver}})},
      {"a mixed set", {tuesday, disabled, underAMinuteLeft, highID, tenMinutesIn, earlierHighID}, {{tenMinutesIn.id, opened}}, false, starting(earlierHighID, now - 1200, 2400, {{disabled.id, Reason::paused}, {underAMinuteLeft.id, Reason::windowNearlyOver}, {highID.id, Reason::sessionRunning}, {tenMinutesIn.id, Reason::alreadyFired}})},
  };
  // clang-format on
  ScheduleEvaluator evaluator;
  ScheduleCalendar calendar = ScheduleCalendar::inTimeZone("UTC");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScheduleSet set{3, c.schedules, c.lastFired, {}};
    ScheduleDecision decision = evaluator.decide(set, now, calendar, c.hasSession);
    EXPECT_EQ(decision, c.expected);
    // A pure function: asking again gives the same answer.
    EXPECT_EQ(evaluator.decide(set, now, calendar, c.hasSession), decision);
  }
}

// New York, Monday 23:00 EST for 2 h; Tuesday 00:30 EST (05:30Z) is 30 minutes before its end.
// In UTC the same instant is Tuesday 05:30, outside every Monday window.
TEST(ScheduleEvaluator, WindowThatOpenedYesterdayInNewYork) {
  Schedule lateNight = weeklySchedule({monday}, 1380, 7200, 1);
  ScheduleSet set{3, {lateNight}, {}, {}};
  EXPECT_EQ(ScheduleEvaluator{}.decide(set, utc(2024, 1, 16, 5, 30), ScheduleCalendar::inTimeZone("America/New_York"), false),
            starting(lateNight, utc(2024, 1, 16, 4, 0), 1800));
  EXPECT_EQ(ScheduleEvaluator{}.decide(set, utc(2024, 1, 16, 5, 30), ScheduleCalendar::inTimeZone("UTC"), false), ScheduleDecision::nothingToDo());
}

}  // namespace

// Found by GoogleTest through argument-dependent lookup.
void PrintTo(const ScheduleDecision& decision, std::ostream* out) {
  if (decision.start) {
    *out << "start " << decision.start->schedule.id.string() << " at " << decision.start->occurrence.unixTime()
         << " for " << decision.start->duration;
  } else {
    *out << "no start";
  }
  for (const auto& [id, reason] : decision.skipped) *out << "; " << id.string() << " " << caseName(reason);
}

}  // namespace hushwall
