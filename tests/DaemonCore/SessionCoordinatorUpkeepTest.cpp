#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "CoordinatorHarness.hpp"
#include "DaemonCore/HostsDocument.hpp"
#include "support/CapturingLogSink.hpp"

namespace hushwall {
namespace {

using Kind = SessionCoordinator::Outcome::Kind;
using Outcome = SessionCoordinator::Outcome;
using testing::CapturingLogSink;
using testing::CoordinatorHarness;
using testing::writeFile;
using Events = std::vector<std::string>;

const std::string original = "127.0.0.1\tlocalhost\n";

TEST(CoordinatorTick, EndsTheSessionOnTimeWithEffectsInOrder) {
  CoordinatorHarness h;
  auto started = h.coordinator->start({"example.com"}, 60).value();
  h.takeEvents();
  h.clock->advance(45);
  auto running = h.coordinator->tick();
  ASSERT_EQ(running.kind, Kind::running);
  EXPECT_EQ(running.state->consumed, 45);
  EXPECT_EQ(h.store->load().value()->consumed, 45) << "every tick persists the consumed time";

  h.clock->advance(15);
  CapturingLogSink logs;
  auto ended = h.coordinator->tick();
  ASSERT_EQ(ended.kind, Kind::ended);
  EXPECT_EQ(ended.state->id, started.id);
  EXPECT_EQ(ended.state->consumed, 60);
  EXPECT_EQ(h.hosts(), original);
  EXPECT_FALSE(h.store->exists());
  EXPECT_EQ(h.takeEvents(), (Events{"ring", "flush", "delete"}));
  EXPECT_EQ(logs.messages("session"), Events{"session " + started.id.string() + " ended at tick"});
  EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::idle);
  EXPECT_EQ(h.coordinator->tick(), Outcome::idle());
}

// The watchers' repair (and, for the block, the tick) puts back what was
// tampered with; a second pass then changes nothing.
TEST(CoordinatorRepair, PutsBackTheBlockAndTheSessionFileThenChangesNothing) {
  struct Case {
    const char* what;
    std::function<void(CoordinatorHarness&)> tamper;
    Events events;
    Events log;
  };
  // One row a case.
  // clang-format off
  const Case cases[] = {
      {"region removed", [](CoordinatorHarness& h) { writeFile(h.hostsPath, original); }, {"flush"},
       {"watcher: repaired the block"}},
      {"region below a line mapping the domain elsewhere",
       [](CoordinatorHarness& h) { writeFile(h.hostsPath, "127.0.0.2\texample.com\n" + h.hosts()); },
       {"flush"},
       {"watcher: repaired the block"}},
      {"region edited inside",
       [](CoordinatorHarness& h) {
         std::string bytes = h.hosts();
         bytes.replace(bytes.find("127.0.0.1\texample.com"), 9, "10.0.0.1");
         writeFile(h.hostsPath, bytes);
       },
       {"flush"},
       {"watcher: repaired the block"}},
      {"hosts file deleted", [](CoordinatorHarness& h) { ASSERT_EQ(::unlink(h.hostsPath.c_str()), 0); }, {"flush"},
       {"watcher: repaired the block"}},
      {"session file garbled", [](CoordinatorHarness& h) { writeFile(h.store->real().path(), "{\"id\": 3}"); }, {},
       {"watcher: rewrote the session file"}},
      {"both lost",
       [](CoordinatorHarness& h) {
         writeFile(h.hostsPath, "");
         ASSERT_EQ(::unlink(h.store->real().path().c_str()), 0);
       },
       {"flush"},
       {"watcher: repaired the block", "watcher: rewrote the session file"}},
  };
  // clang-format on
  for (const auto& c : cases) {
    for (bool byTick : {false, true}) {
      if (byTick && c.events.empty()) continue;  // a tick saves the session file anyway
      SCOPED_TRACE(std::string(c.what) + (byTick ? " (tick)" : " (watcher)"));
      CoordinatorHarness h;
      h.coordinator->start({"example.com"}, 600).value();
      h.clock->advance(30);
      auto ticked = h.coordinator->tick();
      const std::string hostsWanted = h.hosts();
      h.takeEvents();
      c.tamper(h);

      CapturingLogSink logs;
      if (byTick) {
        EXPECT_EQ(h.coordinator->tick().kind, Kind::running);
        EXPECT_EQ(logs.messages("session"), Events{"tick: repaired a modified block"});
      } else {
        EXPECT_EQ(h.coordinator->verify(), ticked) << "verify does not advance the session";
        EXPECT_EQ(logs.messages("session"), c.log);
        EXPECT_EQ(h.store->load().value(), ticked.state) << "consumed time survives";
      }
      EXPECT_EQ(h.takeEvents(), c.events);
      if (c.events.empty()) {
        EXPECT_EQ(h.hosts(), hostsWanted);
      } else {
        EXPECT_TRUE(h.hosts().starts_with(HostsDocument::beginMarker)) << "the block goes back first";
      }

      logs.clear();
      const int writesBefore = h.hostsWrites;
      const int savesBefore = h.store->saves;
      EXPECT_EQ(h.coordinator->verify().kind, Kind::running);
      EXPECT_TRUE(h.takeEvents().empty());
      EXPECT_TRUE(logs.messages().empty());
      EXPECT_EQ(h.hostsWrites, writesBefore);
      EXPECT_EQ(h.store->saves, savesBefore);
    }
  }
  CoordinatorHarness idle;
  writeFile(idle.hostsPath, "# BEGIN HUSHWALL x\n# END HUSHWALL\n");
  EXPECT_EQ(idle.coordinator->verify(), Outcome::idle());
  EXPECT_TRUE(idle.hostsHasBlock()) << "without a session the repair looks at nothing";
}

// What a launch finds and what it leaves: the previous daemon's session
// (resumed with at most ten minutes credited for a reboot, or ended), an
// orphaned block, nothing, or a session file it cannot read.
TEST(CoordinatorLaunch, ResumesEndsClearsOrGetsStuck) {
  struct Case {
    const char* what;
    std::function<void(CoordinatorHarness&)> arrange;
    Kind kind;
    double consumed;  // of the resulting state, when there is one
    Events events;
    Events log;
    bool block, sessionFile;
  };
  // One row a case.
  // clang-format off
  const Case cases[] = {
      {"a reboot one hour long credits ten minutes",
       [](CoordinatorHarness& h) {
         (void)h.coordinator->start({"example.com"}, 1800);
         h.clock->advance(1000);
         (void)h.coordinator->tick();
         writeFile(h.hostsPath, original);  // the block went missing while the machine was off
         h.clock->reboot("B", 3600, 9000);  // a continuous clock past its old reading is still a new boot
       },
       Kind::running, 1600, {"ring", "flush"}, {"launch: reasserted the block for the live session"}, true, true},
      {"expired while the daemon was away",
       [](CoordinatorHarness& h) {
         (void)h.coordinator->start({"example.com"}, 60);
         h.clock->advance(3600);
       },
       Kind::ended, 60, {"ring", "flush", "delete"}, {}, false, false},
      {"an orphaned block",
       [](CoordinatorHarness& h) {
         writeFile(h.hostsPath, original + "# BEGIN HUSHWALL x\n127.0.0.1\tgone.com\n# END HUSHWALL\n");
       },
       Kind::idle, 0, {"ring", "flush"}, {"launch: cleared an orphaned block"}, false, false},
      {"no hosts file", [](CoordinatorHarness& h) { ASSERT_EQ(::unlink(h.hostsPath.c_str()), 0); }, Kind::idle, 0,
       {"ring"}, {}, false, false},
      {"an unreadable session file", [](CoordinatorHarness& h) { h.writeSessionFile("not json"); }, Kind::stuck, 0,
       {"ring"},
       {"launch: reading the session file FAILED, the block is STUCK: The session state file could not be read."},
       false, true},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CoordinatorHarness h;
    c.arrange(h);
    h.restart();
    h.takeEvents();
    CapturingLogSink logs;
    auto outcome = h.coordinator->reconcileOnLaunch();
    ASSERT_EQ(outcome.kind, c.kind);
    if (outcome.state) {
      EXPECT_EQ(outcome.state->consumed, c.consumed);
    }
    EXPECT_EQ(h.coordinator->current(), c.kind == Kind::running ? outcome.state : std::nullopt);
    EXPECT_EQ(h.takeEvents(), c.events);
    auto lines = logs.messages("session");
    if (c.kind == Kind::ended) lines.clear();
    EXPECT_EQ(lines, c.log);
    EXPECT_EQ(::access(h.hostsPath.c_str(), F_OK) == 0 && h.hostsHasBlock(), c.block);
    EXPECT_EQ(h.store->exists(), c.sessionFile);
  }
}

// A stuck coordinator logs the failed step with its cause once, refuses
// starts and settled work, and keeps the session so that the next tick retries.
TEST(CoordinatorStuck, AFailedStepIsLoggedOnceAndRetriedByTheNextTick) {
  struct Case {
    const char* what;
    bool launch;
    double away;
    std::atomic<bool> CoordinatorHarness::*fault;
    std::string log;
  };
  const std::string hostsFailed =
      " FAILED, the block is STUCK: could not rename the temporary file over @hosts: "
      "Permission denied";
  // One row a case.
  // clang-format off
  const Case cases[] = {
      {"launch: the block must be put back", true, 30, &CoordinatorHarness::failHostsWrite,
       "launch: reasserting the block" + hostsFailed},
      {"launch: the expired session must be ended", true, 3600, &CoordinatorHarness::failHostsWrite,
       "launch: ending the session" + hostsFailed},
      {"tick: the end cannot be written", false, 75, &CoordinatorHarness::failHostsWrite,
       "tick: ending the session" + hostsFailed},
      {"tick: the end's write never reaches the file", false, 75, &CoordinatorHarness::dropHostsWrites,
       "tick: ending the session FAILED, the block is STUCK: The block could not be confirmed removed."},
      {"tick: the session file cannot be saved", false, 15, nullptr,
       "tick: saving the session file FAILED, the block is STUCK: could not rename the temporary file over "
       "@state/session.json: Read-only file system"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CoordinatorHarness h;
    auto started = h.coordinator->start({"example.com"}, 60).value();
    if (c.launch && c.away < 60) writeFile(h.hostsPath, original);
    h.clock->advance(c.away);
    if (c.launch) h.restart();
    h.takeEvents();
    (c.fault ? h.*c.fault : h.store->failSave) = true;
    CapturingLogSink logs;
    auto stuck = c.launch ? h.coordinator->reconcileOnLaunch() : h.coordinator->tick();
    ASSERT_EQ(stuck.kind, Kind::stuck);
    std::string log = c.log;
    if (auto at = log.find('@'); at != std::string::npos) log.replace(at, 1, h.directory.path() + "/");
    EXPECT_EQ(logs.messages(), Events{log});
    EXPECT_EQ(h.coordinator->current()->id, started.id) << "the session is kept for the retry";
    EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::blocking);
    EXPECT_EQ(h.coordinator->start({"a.com"}, 60), std::unexpected(*stuck.error));
    EXPECT_FALSE(h.coordinator->whileSettled([](bool) { ADD_FAILURE() << "must not run while stuck"; }));
    EXPECT_EQ(h.takeEvents(), c.launch ? Events{"ring"} : Events{}) << "a launch rings its first rule set";

    h.failHostsWrite = false;
    h.dropHostsWrites = false;
    h.store->failSave = false;
    h.clock->advance(15);
    auto retried = h.coordinator->tick();
    EXPECT_FALSE(h.coordinator->isStuck());
    bool ends = c.away + 15 >= 60;
    EXPECT_EQ(retried.kind, ends ? Kind::ended : Kind::running);
    EXPECT_EQ(h.hostsHasBlock(), !ends);
    EXPECT_EQ(h.store->exists(), !ends);
    EXPECT_EQ(h.takeEvents(), ends ? (Events{"ring", "flush", "delete"}) : (c.launch ? Events{"flush"} : Events{}));
  }
}

TEST(CoordinatorSettled, RunsTheBodyUnderTheLockOnlyWhenNothingIsInFlight) {
  CoordinatorHarness h;
  std::vector<bool> seen;
  EXPECT_TRUE(h.coordinator->whileSettled([&](bool hasSession) { seen.push_back(hasSession); }));
  ASSERT_TRUE(h.coordinator->start({"a.com"}, 60));
  EXPECT_TRUE(h.coordinator->whileSettled([&](bool hasSession) {
    EXPECT_TRUE(BlockController::mutationLock().isHeldByCurrentThread());
    seen.push_back(hasSession);
  }));
  EXPECT_EQ(seen, (std::vector<bool>{false, true}));

  h.clock->advance(60);
  std::optional<bool> duringTeardown;
  h.store->beforeRemove = [&] { duringTeardown = h.coordinator->whileSettled([](bool) {}); };
  (void)h.coordinator->tick();
  EXPECT_EQ(duringTeardown, false);
}

}  // namespace
}  // namespace hushwall
