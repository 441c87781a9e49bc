#include "DaemonCore/ExitPolicy.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

// The daemon exits when idle only with nothing to keep it up. (The handover's rules: HandoverTest.)
TEST(ExitPolicy, IdleExitNeedsEveryCondition) {
  // clang-format off
  struct Exit { bool session, stuck; double since; bool schedules, exits; };
  for (const auto& c : {Exit{false, false, 60, false, true}, Exit{false, false, 59.9, false, false}, Exit{true, false, 3600, false, false}, Exit{false, true, 3600, false, false}, Exit{false, false, 3600, true, false}}) {
    EXPECT_EQ(IdleExitPolicy::shouldExit(c.session, c.stuck, c.since, c.schedules), c.exits) << c.session << c.stuck << c.since << c.schedules;
  }
  // clang-format on
}

}  // namespace
}  // namespace hushwall
