#include "DaemonService/SessionTicker.hpp"

#include <gtest/gtest.h>

#include <limits>

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
  // clang-format off
  const struct { const char* name; Outcome outcome; Arming arming; Hooks hooks; } cases[] = {
      {"40 s left", runningWith(40), {15, 5}, {true, false}},
      {"10 s left: lands on the end", runningWith(10), {10, 0}, {false, false}},
      {"exactly one interval left", runningWith(15), {15, 0}, {false, false}},
      {"overdrawn counts as zero", runningWith(-3), {0, 0}, {false, false}},
      {"not a number counts as zero", runningWith(std::numeric_limits<double>::quiet_NaN()), {0, 0}, {false, false}},
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

}  // namespace
}  // namespace hushwall
