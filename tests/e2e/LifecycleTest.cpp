// The daemon on its own over time: staying up while schedules exist, and a
// schedule whose window is open starting a session.

#include <ctime>

#include "E2ETest.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "HushwallCore/SessionState.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall::testing {
namespace {

std::set<std::int64_t> everyDay() { return {1, 2, 3, 4, 5, 6, 7}; }

// The local minute of the day, `offset` minutes from now.
std::int64_t localMinute(std::int64_t offset) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return ((local.tm_hour * 60 + local.tm_min + offset) % 1440 + 1440) % 1440;
}

using LifecycleE2E = E2ETest;

// With a schedule the daemon stays up past the idle minute; once a window is
// open, a session starts within a tick for what is left of it.
TEST_F(LifecycleE2E, StaysUpWhileASchedulesExistsAndAnOpenWindowStartsASession) {
  EXPECT_FALSE(daemon.maps("libicui18n"));
  Schedule later = weeklySchedule(everyDay(), localMinute(12 * 60), 60, 1);
  ASSERT_TRUE(client->call("SaveSchedules", Schedule::encodedList({later})));
  ASSERT_TRUE(waitUntil([&] { return longestStayingUp(daemon.log(), true) >= 60; }, 120s, 200ms)) << daemon.log();
  EXPECT_EQ(daemon.logCount("idle for 60s"), 0);

  Schedule open = weeklySchedule(everyDay(), localMinute(-1), 3600, 2);
  auto saved = client->call("SaveSchedules", Schedule::encodedList({later, open}));
  ASSERT_TRUE(saved) << saved.error().name;
  EXPECT_EQ(ScheduleSet::decode(*client->call("Schedules")), ScheduleSet::decode(*saved));
  std::optional<SessionState> session;
  ASSERT_TRUE(waitUntil(
      [&] {
        auto reply = client->call("CurrentSession");
        if (reply && !reply->empty()) session = SessionState::decode(*reply).value_or(SessionState{});
        return session.has_value();
      },
      25s, 250ms))
      << daemon.log();
  EXPECT_EQ(session->scheduleID, open.id);
  EXPECT_EQ(session->domains, open.domains);
  EXPECT_TRUE(daemon.maps("libicui18n"));  // the calendar came with the first schedule
  // What is left of a window that opened one to two minutes before the save, a tick later.
  EXPECT_LE(session->totalDuration, 3600 - 60);
  EXPECT_GE(session->totalDuration, 3600 - 3 * 60);
}

}  // namespace
}  // namespace hushwall::testing
