#include "DaemonCore/ExitPolicy.hpp"

#include <gtest/gtest.h>

namespace hushwall {
namespace {

TEST(IdleExitPolicy, ExitsOnlyWhenNothingKeepsTheDaemonUp) {
  struct Case {
    bool session, stuck;
    double since;
    bool schedules, exits;
  };
  for (const auto& c : {Case{false, false, 60, false, true}, Case{false, false, 3600, false, true},
                        Case{false, false, 59.9, false, false}, Case{true, false, 3600, false, false},
                        Case{false, true, 3600, false, false}, Case{false, false, 3600, true, false}}) {
    SCOPED_TRACE(testing::Message() << c.session << c.stuck << " " << c.since << " " << c.schedules);
    EXPECT_EQ(IdleExitPolicy::shouldExit(c.session, c.stuck, c.since, c.schedules), c.exits);
  }
}

TEST(HandoverPolicy, RetiresOnlyToAValidatedFileAtAQuietMoment) {
  using R = HandoverPolicy::Replacement;
  struct Case {
    R replacement;
    bool stuck;
    double since;
    bool servable, retires;
  };
  for (const auto& c : {Case{R::validated, false, 5, true, true}, Case{R::validated, false, 4.9, true, false},
                        Case{R::validated, false, 0, false, true}, Case{R::validated, true, 100, true, false},
                        Case{R::validated, true, 0, false, false}, Case{R::unvalidated, false, 100, true, false},
                        Case{R::missing, false, 100, false, false}, Case{R::sameFile, false, 100, true, false}}) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.replacement) << c.stuck << " " << c.since << c.servable);
    EXPECT_EQ(HandoverPolicy::shouldRetire(c.replacement, c.stuck, c.since, c.servable), c.retires);
  }
}

}  // namespace
}  // namespace hushwall
