#include "DaemonCore/ExitPolicy.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

// The daemon exits when idle only with nothing to keep it up, and retires only to a validated
// replacement, not while stuck, and only at a quiet moment or when no client can reach it.
TEST(ExitPolicy, IdleExitAndHandoverNeedEveryCondition) {
  using R = HandoverPolicy::Replacement;
  // clang-format off
  struct Exit { bool session, stuck; double since; bool schedules, exits; };
  for (const auto& c : {Exit{false, false, 60, false, true}, Exit{false, false, 59.9, false, false}, Exit{true, false, 3600, false, false}, Exit{false, true, 3600, false, false}, Exit{false, false, 3600, true, false}}) {
    EXPECT_EQ(IdleExitPolicy::shouldExit(c.session, c.stuck, c.since, c.schedules), c.exits) << c.session << c.stuck << c.since << c.schedules;
  }
  struct Retire { R replacement; bool stuck; double since; bool servable, retires; };
  for (const auto& c : {Retire{R::validated, false, 5, true, true}, Retire{R::validated, false, 4.9, true, false}, Retire{R::validated, false, 0, false, true}, Retire{R::validated, true, 100, true, false},
                        Retire{R::unvalidated, false, 100, true, false}, Retire{R::missing, false, 100, false, false}, Retire{R::sameFile, false, 100, true, false}}) {
    EXPECT_EQ(HandoverPolicy::shouldRetire(c.replacement, c.stuck, c.since, c.servable), c.retires) << static_cast<int>(c.replacement) << c.stuck << c.since << c.servable;
  }
  // clang-format on
}

}  // namespace
}  // namespace hushwall
