#include "DaemonService/SessionTicker.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <limits>
#include <mutex>
#include <vector>

namespace hushwall {
namespace {

using Outcome = SessionCoordinator::Outcome;
using Arming = SessionTicker::Arming;
using Hooks = SessionTicker::Hooks;

Outcome runningWith(double remaining) {
  SessionState state;
  state.totalDuration = 600;
  state.consumed = 600 - remaining;
  return Outcome::running(state);
}

// After a tick on a 15 s interval: the next one's delay and leeway, and whether onTick and onIdle run.
TEST(SessionTickerDecisionTest, ArmingAndHooksFollowTheOutcome) {
  SessionState notANumber;
  notANumber.totalDuration = std::numeric_limits<double>::quiet_NaN();
  // clang-format off
  const struct { const char* name; Outcome outcome; Arming arming; Hooks hooks; } cases[] = {
      {"40 s left", runningWith(40), {15, 5}, {true, false}},
      {"10 s left: lands on the end", runningWith(10), {10, 0}, {false, false}},
      {"exactly one interval left", runningWith(15), {15, 0}, {false, false}},
      {"overdrawn counts as zero", runningWith(-3), {0, 0}, {false, false}},
      {"not a number counts as zero", Outcome::running(notANumber), {0, 0}, {false, false}},
      {"ended", Outcome::ended(SessionState{}), {15, 5}, {true, false}},
      {"stuck", Outcome::stuck(DaemonError::hostsWriteFailed), {15, 5}, {false, false}},
      {"idle", Outcome::idle(), {15, 5}, {true, true}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Arming::after(c.outcome, 15), c.arming);
    EXPECT_EQ(Hooks::after(c.outcome, 15), c.hooks);
  }
}

// A live ticker on a short interval: each tick arms the next and runs the hooks its outcome asks
// for, in order (idle, stuck, running out, ended, running).
TEST(SessionTickerTest, TicksRunTheHooksTheOutcomeAsksFor) {
  SerialQueue queue("org.hushwall.test.ticker");
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;  // guarded by mutex
  auto note = [&](const char* event) {
    std::lock_guard lock(mutex);
    events.push_back(event);
    changed.notify_all();
  };
  const std::vector<Outcome> script = {Outcome::idle(), Outcome::stuck(DaemonError::removalUnverified),
                                       runningWith(0.01), Outcome::ended(SessionState{})};
  std::size_t ticks = 0;  // touched only on the queue
  auto tick = [&] { return note("tick"), ticks < script.size() ? script[ticks++] : runningWith(1000); };
  auto ticker = SessionTicker::make(
      tick, [&] { note("onTick"); }, [&] { note("onIdle"); }, queue, 0.02);
  ticker->start();
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return events.size() >= 9; }));
  EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 9),
            (std::vector<std::string>{"tick", "onTick", "onIdle", "tick", "tick", "tick", "onTick", "tick", "onTick"}));
  lock.unlock();
  queue.sync([&] { ticker.reset(); });
}

}  // namespace
}  // namespace hushwall
