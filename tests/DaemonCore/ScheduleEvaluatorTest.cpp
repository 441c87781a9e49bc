// The evaluator's order of checks and tie-breaks. Times are in UTC unless a
// case names another zone; "now" is Monday 2024-01-15 12:00 UTC.
#include "DaemonCore/ScheduleEvaluator.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::utc;
const Date now = utc(2024, 1, 15, 12, 0);

// A Monday schedule named `name` whose window opened `ago` seconds before now and lasts `duration`.
Schedule openedAgo(const char* name, double ago, double duration, const char* id = nullptr) {
  Schedule schedule = testing::weeklySchedule({2}, static_cast<std::int64_t>((720 * 60 - ago) / 60), duration, 1);
  schedule.name = name;
  schedule.id = id ? *Uuid::parse(id) : Uuid::random();
  return schedule;
}

std::string number(double value) { return (std::ostringstream() << value).str(); }

// "start <name> at <seconds from now> for <seconds>", then "; <name> <reason>" for each skipped window by name.
std::string decided(const ScheduleSet& set, Date at, const char* zone, bool hasSession) {
  ScheduleDecision decision = ScheduleEvaluator{}.decide(set, at, ScheduleCalendar::inTimeZone(zone), hasSession);
  std::map<Uuid, std::string> names;
  for (const auto& schedule : set.schedules) names[schedule.id] = schedule.name;
  std::string text = "nothing";
  if (decision.start) {
    text = "start " + decision.start->schedule.name + " at " + number(decision.start->occurrence - at) + " for " +
           number(decision.start->duration);
  }
  std::map<std::string, std::string_view> skipped;  // by name, as ids may be random
  for (const auto& [id, reason] : decision.skipped) skipped[names[id]] = caseName(reason);
  for (const auto& [name, reason] : skipped) text += "; " + name + " " + std::string(reason);
  return text;
}

TEST(ScheduleEvaluator, OrderOfChecksAndTieBreaks) {
  const Schedule tenIn = openedAgo("tenIn", 600, 3600),
                 low = openedAgo("low", 600, 3600, "0A000000-0000-0000-0000-000000000000");
  const Schedule high = openedAgo("high", 600, 3600, "A0000000-0000-0000-0000-000000000000");
  const Schedule earlierHigh = openedAgo("earlierHigh", 1200, 3600, "F0000000-0000-0000-0000-000000000000");
  const Schedule closed = openedAgo("closed", 7200, 3600), oneMinuteLeft = openedAgo("oneMinuteLeft", 3540, 3600);
  const Schedule underAMinuteLeft = openedAgo("underAMinuteLeft", 3540, 3599.9);  // 59.9 seconds left
  Schedule tuesday = openedAgo("tuesday", 600, 3600), disabled = openedAgo("disabled", 600, 3600);
  tuesday.weekdays = {3};
  disabled.isEnabled = false;
  // New York, Monday 23:00 EST for 2 h; Tuesday 00:30 EST (05:30Z) is 30 minutes before its end, outside every Monday
  // window in UTC.
  const Schedule newYork = testing::weeklySchedule({2}, 1380, 7200, 1);
  // clang-format off
  struct Case { const char* what; std::vector<Schedule> schedules; std::map<Uuid, Date> lastFired; bool hasSession; std::string expected; Date at = now; const char* zone = "UTC"; };
  const Case cases[] = {
      {"no schedules", {}, {}, false, "nothing"},
      {"no window open: other day, window over", {tuesday, closed}, {}, false, "nothing"},
      {"opened ten minutes ago, never fired", {tenIn}, {}, false, "start tenIn at -600 for 3000"},
      {"fired at this window's start", {tenIn}, {{tenIn.id, now - 600}}, false, "nothing; tenIn alreadyFired"},
      {"fired at a later instant", {tenIn}, {{tenIn.id, now}}, false, "nothing; tenIn alreadyFired"},
      {"fired one week earlier", {tenIn}, {{tenIn.id, now - 600 - 604800}}, false, "start tenIn at -600 for 3000"},
      {"fired for another schedule only", {tenIn}, {{testing::fixedID(99), now - 600}}, false, "start tenIn at -600 for 3000"},
      {"same start: the smaller id text wins, whatever the list order", {high, low}, {}, false, "start low at -600 for 3000; high sessionRunning"},
      {"the earlier window wins although its id sorts last", {low, earlierHigh}, {}, false, "start earlierHigh at -1200 for 2400; low sessionRunning"},
      {"a session runs: every eligible window waits", {tenIn, low}, {}, true, "nothing; low sessionRunning; tenIn sessionRunning"},
      {"disabled, no session", {disabled}, {}, false, "nothing; disabled paused"},
      {"disabled, session running", {disabled}, {}, true, "nothing; disabled paused"},
      {"disabled beats fired", {disabled}, {{disabled.id, now - 600}}, true, "nothing; disabled paused"},
      {"exactly one minute left starts a one-minute session", {oneMinuteLeft}, {}, false, "start oneMinuteLeft at -3540 for 60"},
      {"59.9 seconds left", {underAMinuteLeft}, {}, false, "nothing; underAMinuteLeft windowNearlyOver"},
      {"fired beats nearly over", {underAMinuteLeft}, {{underAMinuteLeft.id, now - 3540}}, false, "nothing; underAMinuteLeft alreadyFired"},
      {"nearly over beats a running session", {underAMinuteLeft}, {}, true, "nothing; underAMinuteLeft windowNearlyOver"},
      {"a window that opened yesterday in New York", {newYork}, {}, false, "start Focus 1 at -5400 for 1800", utc(2024, 1, 16, 5, 30), "America/New_York"},
      {"the same instant in UTC", {newYork}, {}, false, "nothing", utc(2024, 1, 16, 5, 30)},
      {"a mixed set", {tuesday, disabled, underAMinuteLeft, high, tenIn, earlierHigh}, {{tenIn.id, now - 600}}, false, "start earlierHigh at -1200 for 2400; disabled paused; high sessionRunning; tenIn alreadyFired; underAMinuteLeft windowNearlyOver"},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(decided(ScheduleSet{3, c.schedules, c.lastFired, {}}, c.at, c.zone, c.hasSession), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace hushwall
