#include "Tools/Client/Presentation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "support/FakeTimeSource.hpp"

namespace hushwall {
namespace {

// Local times are pinned to UTC for the length of each test.
class PresentationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* zone = std::getenv("TZ")) saved_ = zone;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

const Uuid sessionID = *Uuid::parse("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9");

TEST_F(PresentationTest, ProgressBarFillsByWholeCellsAndClamps) {
  const struct {
    double fraction;
    std::string_view bar;
  } cases[] = {{0, "[----]"},   {0.24, "[----]"}, {0.25, "[#---]"},          {0.999, "[###-]"}, {1, "[####]"},
               {-1, "[----]"}, {7, "[####]"},    {std::nan(""), "[----]"}, {INFINITY, "[####]"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fraction);
    EXPECT_EQ(Presentation::progressBar(c.fraction, 4), c.bar);
  }
}

TEST_F(PresentationTest, SessionShowsDomainsTimeLeftAndSchedule) {
  SessionState state;
  state.id = sessionID;
  state.domains = {"example.com", "news.example"};
  state.totalDuration = 1500;
  state.consumed = 300;
  state.startedAt = Date::fromUnix(1796547600);  // 2026-12-06 09:00:00 UTC
  EXPECT_EQ(Presentation::session(state, state.remaining(), false),
            "Blocking 2 domains for 25m\n"
            "  session:   0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9\n"
            "  started:   2026-12-06 09:00:00\n"
            "  time left: 20:00 of 25m\n"
            "  domains:   example.com, news.example");
  state.scheduleName = "Mornings";
  state.domains = {"one.example"};
  std::string live = Presentation::session(state, 375, true);
  EXPECT_TRUE(live.starts_with("Blocking 1 domain for 25m (schedule \"Mornings\")\n")) << live;
  EXPECT_TRUE(live.ends_with("  time left: 6:15 of 25m\n  domains:   one.example\n  [" + std::string(30, '#') +
                             std::string(10, '-') + "] 75%"))
      << live;
}

TEST_F(PresentationTest, TimeLeftTakesOffWhatPassedSinceTheLastTickOnTheSameBoot) {
  SessionState state;
  state.totalDuration = 600;
  state.consumed = 100;
  state.lastTick = Tick{Date{1000}, Date{0}, 5000, "A"};
  const struct {
    double continuous;
    std::string bootID;
    double left;
  } cases[] = {
      {5000, "A", 500},  {5012.5, "A", 487.5}, {5600, "A", 0},   // used up before the daemon's tick says so
      {4990, "A", 500},  // a clock that reads backwards changes nothing
      {9000, "B", 500},  // another boot: the daemon credits the gap
      {NAN, "A", 500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.continuous);
    testing::FakeTimeSource clock(1000, 0, c.bootID);
    clock.setContinuous(c.continuous);
    EXPECT_EQ(Presentation::timeLeft(state, clock), c.left);
  }
  state.lastTick.bootID = "";
  EXPECT_EQ(Presentation::timeLeft(state, testing::FakeTimeSource(1000, 5100, "")), 500);
}

TEST_F(PresentationTest, RulesShowTheHostsInForce) {
  FilterRuleSet blocking(1, FilterRuleSet::State::blocking, sessionID, {"Example.COM", "bad host", "example.com", "b.example"});
  std::string shown = Presentation::rules(blocking);
  EXPECT_EQ(shown.substr(0, shown.find("hosts:")),
            "state:   blocking\nsession: 0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9\n");
  EXPECT_NE(shown.find("  example.com\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("Example.COM"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("bad host"), std::string::npos) << shown;

  EXPECT_EQ(Presentation::rules(FilterRuleSet(1, FilterRuleSet::State::idle, std::nullopt, {})),
            "state:   idle\nhosts:   0\n");
  EXPECT_EQ(Presentation::rules(FilterRuleSet(2, FilterRuleSet::State::unknown, std::nullopt, {})),
            "state:   unknown\nschema:  2 (not understood: rules not applied)\nhosts:   0\n");
}

TEST_F(PresentationTest, SchedulesShowTimingRunsAndTheFailureReason) {
  Schedule schedule(*Uuid::parse("ABCD1111-0000-4000-8000-000000000001"), "Mornings", false, {2, 3, 4, 5, 6}, 570,
                    5400, {BlocklistRef(*Uuid::parse("ABCD1111-0000-4000-8000-0000000000AA"), "Work")},
                    {"a.example", "b.example"});
  ScheduleSet set;
  set.schedules = {schedule};
  set.history[schedule.id] = {ScheduleRun(Date::fromUnix(1796549400), ScheduleRun::Outcome::ran, 5400),
                              ScheduleRun(Date::fromUnix(1796635800), ScheduleRun::Outcome::paused)};
  EXPECT_EQ(Presentation::schedules(set, "the schedules file could not be saved"),
            "Mornings (paused)\n"
            "  id:      ABCD1111-0000-4000-8000-000000000001\n"
            "  when:    Mon Tue Wed Thu Fri at 09:30 for 1h30m\n"
            "  lists:   Work\n"
            "  domains: a.example, b.example\n"
            "  recent runs:\n"
            "    2026-12-06 09:30:00  ran for 1h30m\n"
            "    2026-12-07 09:30:00  paused\n"
            "Schedules failed: the schedules file could not be saved\n");
  EXPECT_EQ(Presentation::schedules(ScheduleSet{}, std::nullopt), "No schedules.\n");
}

TEST_F(PresentationTest, HealthNamesTheFilterReportOrItsAbsence) {
  DaemonHealth health{"0.1.0", 1000, true, 3725, false, std::nullopt, std::nullopt, "v0.1.0-3-gabc"};
  std::string shown = Presentation::health(health);
  EXPECT_TRUE(shown.starts_with("hushwalld 0.1.0 (v0.1.0-3-gabc)\n  running as uid 1000 for 1h2m5s\n")) << shown;
  EXPECT_NE(shown.find("can manage the block: NO"), std::string::npos) << shown;
  EXPECT_NE(shown.find("filter:         no report yet"), std::string::npos) << shown;
  health.filter = FilterStatus{{1, FilterReport::Outcome::keptPrevious, sessionID, 4, "0.1.0", "daemonUnsure"}, 12};
  health.scheduleFailure = "stuck";
  shown = Presentation::health(health);
  EXPECT_NE(shown.find("filter:         keptPrevious, 4 rules, version 0.1.0 (daemonUnsure), 12s ago"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("schedules:      failed: stuck"), std::string::npos) << shown;
}

}  // namespace
}  // namespace hushwall
