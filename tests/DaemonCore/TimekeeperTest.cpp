#include "DaemonCore/Timekeeper.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/FakeTimeSource.hpp"

namespace hushwall {
namespace {

// Credit for a tick: the continuous clock on one boot, the wall clock capped at ten minutes across
// a reboot (known by its boot id, or by a continuous clock that went back when an id is unknown).
TEST(Timekeeper, WorkedNumbers) {
  // clang-format off
  struct Row { const char* situation; double lastWall, lastContinuous; const char* lastBoot; double nowWall, nowContinuous; const char* nowBoot; double credit; };
  const Row rows[] = {
      {"ordinary 15-second tick", 1000, 5000.0, "A", 1015, 5015.25, "A", 15.25},
      {"wall clock one hour ahead", 1000, 5000, "A", 4615, 5015, "A", 15},
      {"wall clock one day back", 1000, 5000, "A", -85385, 5015, "A", 15},
      {"slept 8 hours, credit capped by the session's end", 1000, 5000, "A", 29800, 33800, "A", 28800},
      {"rebooted, down 200 s", 1000, 5000, "A", 1200, 40, "B", 200},
      {"rebooted, down one hour", 1000, 5000, "A", 4600, 40, "B", 600},
      {"rebooted, down one hour, continuous clock past its old value", 1000, 5000, "A", 4600, 9000, "B", 600},
      {"rebooted, wall clock earlier", 1000, 5000, "A", 900, 40, "B", 0},
      {"boot ids unknown, continuous back", 1000, 5000, "", 4600, 40, "", 600},
      {"boot ids unknown, continuous forward", 1000, 5000, "", 1030, 5030, "", 30},
      {"continuous back on the same boot", 1000, 5000, "A", 1030, 4990, "A", 0},
      {"one boot id unknown, continuous passed its old value", 1000, 5000, "A", 99000, 6000, "", 1000},
  };
  // clang-format on
  for (const auto& row : rows) {
    SessionState state = *Timekeeper{}.start({"example.com"}, 1800,
                                             testing::FakeTimeSource(row.lastWall, row.lastContinuous, row.lastBoot));
    state.consumed = 100;
    SessionState expected = state;  // only consumed and lastTick change
    expected.consumed = std::min(100 + row.credit, 1800.0);
    expected.lastTick = Tick{Date{row.nowWall}, Date{77}, row.nowContinuous, row.nowBoot};
    EXPECT_EQ(Timekeeper{}.tick(state, testing::FakeTimeSource(row.nowWall, row.nowContinuous, row.nowBoot, 77)),
              expected)
        << row.situation;
  }
}

}  // namespace
}  // namespace hushwall
