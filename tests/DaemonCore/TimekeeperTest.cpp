#include "DaemonCore/Timekeeper.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "support/FakeTimeSource.hpp"

namespace hushwall {
namespace {

using testing::FakeTimeSource;

// Records the order of readings, so tests can pin which clock is read when.
class RecordingTimeSource final : public TimeSource {
 public:
  explicit RecordingTimeSource(const TimeSource& base) : base_(base) {}
  Date wallClock() const override { return log("wall"), base_.wallClock(); }
  Date bootTime() const override { return log("boot"), base_.bootTime(); }
  std::string bootID() const override { return log("id"), base_.bootID(); }
  double continuous() const override { return log("continuous"), base_.continuous(); }
  mutable std::vector<std::string> readings;

 private:
  void log(const char* what) const { readings.emplace_back(what); }
  const TimeSource& base_;
};

SessionState sessionAt(double wall, double continuous, std::string bootID) {
  SessionState state;
  state.id = Uuid::random();
  state.domains = {"example.com"};
  state.totalDuration = 1800;
  state.consumed = 100;
  state.lastTick = Tick{Date{wall}, Date{0}, continuous, std::move(bootID)};
  return state;
}

TEST(Timekeeper, WorkedNumbers) {
  struct Row {
    const char* situation;
    double lastWall, lastContinuous;
    const char* lastBoot;
    double nowWall, nowContinuous;
    const char* nowBoot;
    double credit, consumed;
  };
  const Row rows[] = {
      {"ordinary 15-second tick", 1000, 5000.0, "A", 1015, 5015.2, "A", 15.2, 115.2},
      {"wall clock one hour ahead", 1000, 5000, "A", 4615, 5015, "A", 15, 115},
      {"wall clock one day back", 1000, 5000, "A", -85385, 5015, "A", 15, 115},
      {"slept 8 hours", 1000, 5000, "A", 29800, 33800, "A", 28800, 1800},
      {"rebooted, down 200 s", 1000, 5000, "A", 1200, 40, "B", 200, 300},
      {"rebooted, down one hour", 1000, 5000, "A", 4600, 40, "B", 600, 700},
      {"rebooted, down one hour, continuous clock past its old value", 1000, 5000, "A", 4600, 9000, "B", 600, 700},
      {"rebooted, wall clock earlier", 1000, 5000, "A", 900, 40, "B", 0, 100},
      {"boot ids unknown, continuous back", 1000, 5000, "", 4600, 40, "", 600, 700},
      {"boot ids unknown, continuous forward", 1000, 5000, "", 1030, 5030, "", 30, 130},
      {"continuous back on the same boot", 1000, 5000, "A", 1030, 4990, "A", 0, 100},
      {"one boot id unknown, continuous passed its old value", 1000, 5000, "A", 99000, 6000, "", 1000, 1100},
  };
  Timekeeper keeper;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    SessionState state = sessionAt(row.lastWall, row.lastContinuous, row.lastBoot);
    FakeTimeSource now(row.nowWall, row.nowContinuous, row.nowBoot, 77);
    EXPECT_NEAR(Timekeeper::credit(state.lastTick, now, Timekeeper::maxDowntimeCreditPerBoot), row.credit, 1e-9);
    SessionState updated = keeper.tick(state, now);
    EXPECT_NEAR(updated.consumed, row.consumed, 1e-9);
    EXPECT_EQ(updated.isExpired(), row.consumed == state.totalDuration);
    EXPECT_EQ(updated.lastTick, (Tick{Date{row.nowWall}, Date{77}, row.nowContinuous, row.nowBoot}));
    SessionState rest = updated;
    rest.consumed = state.consumed;
    rest.lastTick = state.lastTick;
    EXPECT_EQ(rest, state) << "only consumed and lastTick change";
  }
}

TEST(Timekeeper, DurationBoundsAreInclusive) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double duration;
    bool valid;
  };
  for (const auto& c : {Case{60, true}, Case{86400, true}, Case{59.999, false}, Case{86400.001, false},
                        Case{-60, false}, Case{inf, false}, Case{std::numeric_limits<double>::quiet_NaN(), false}}) {
    SCOPED_TRACE(c.duration);
    EXPECT_EQ(Timekeeper::validate(c.duration).has_value(), c.valid);
    FakeTimeSource clock;
    auto started = Timekeeper{}.start({"a.com"}, c.duration, clock);
    EXPECT_EQ(started.has_value(), c.valid);
    if (!c.valid) {
      EXPECT_EQ(started.error(), DaemonError::durationOutOfRange);
    }
  }
}

}  // namespace
}  // namespace hushwall
