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
using testing::readFile;
using testing::writeFile;

const std::string original = "127.0.0.1\tlocalhost\n";
const std::vector<std::string> events(std::initializer_list<const char*> names) { return {names.begin(), names.end()}; }

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
  EXPECT_EQ(h.takeEvents(), events({"ring", "flush", "delete"}));
  EXPECT_EQ(logs.messages("session"), std::vector<std::string>{"session " + started.id.string() + " ended at tick"});
  EXPECT_FALSE(h.coordinator->current());
  EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::idle);
  EXPECT_EQ(h.coordinator->tick(), Outcome::idle());
}

TEST(CoordinatorTick, PutsBackATamperedOrDeletedBlockAndFlushes) {
  for (bool deleted : {false, true}) {
    SCOPED_TRACE(deleted ? "deleted" : "tampered");
    CoordinatorHarness h;
    auto started = h.coordinator->start({"example.com"}, 600).value();
    h.takeEvents();
    if (deleted) {
      ASSERT_EQ(::unlink(h.hostsPath.c_str()), 0);
    } else {
      writeFile(h.hostsPath, HostsDocument::removingManagedRegion(h.hosts()) + "1.2.3.4\tmine\n");
    }
    CapturingLogSink logs;
    h.clock->advance(15);
    EXPECT_EQ(h.coordinator->tick().kind, Kind::running);
    EXPECT_EQ(h.hosts(), deleted ? HostsDocument::renderBlock(started.domains, started.id)
                                 : HostsDocument::applying(started.domains, started.id, original + "1.2.3.4\tmine\n"));
    EXPECT_EQ(h.takeEvents(), events({"flush"}));
    EXPECT_EQ(logs.count("tick: repaired a modified block"), 1u);
  }
}

TEST(CoordinatorVerify, RepairsTheBlockAndTheSessionFileThenChangesNothing) {
  struct Case {
    const char* what;
    std::function<void(CoordinatorHarness&)> tamper;
    std::vector<std::string> events;
    std::vector<std::string> log;
  };
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
      {"session file deleted",
       [](CoordinatorHarness& h) { ASSERT_EQ(::unlink(h.store->real().fileURL().c_str()), 0); },
       {},
       {"watcher: rewrote the session file"}},
      {"session file garbled", [](CoordinatorHarness& h) { writeFile(h.store->real().fileURL(), "{\"id\": 3}"); }, {},
       {"watcher: rewrote the session file"}},
      {"both", [](CoordinatorHarness& h) {
         writeFile(h.hostsPath, "");
         writeFile(h.store->real().fileURL(), "");
       },
       {"flush"},
       {"watcher: repaired the block", "watcher: rewrote the session file"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CoordinatorHarness h;
    h.coordinator->start({"example.com"}, 600).value();
    h.clock->advance(30);
    auto ticked = h.coordinator->tick();
    const std::string hostsWanted = h.hosts();
    h.takeEvents();
    c.tamper(h);

    CapturingLogSink logs;
    auto verified = h.coordinator->verify();
    EXPECT_EQ(verified, ticked) << "verify does not advance the session";
    EXPECT_EQ(h.takeEvents(), c.events);
    EXPECT_EQ(logs.messages("session"), c.log);
    EXPECT_EQ(h.store->load().value(), ticked.state) << "consumed time survives";
    if (c.events.empty()) {
      EXPECT_EQ(h.hosts(), hostsWanted);
    } else {
      EXPECT_TRUE(h.hostsHasBlock());
      EXPECT_TRUE(h.hosts().starts_with(HostsDocument::beginMarker)) << "the block goes back first";
    }

    logs.clear();
    const int writesBefore = h.hostsWrites;
    const int savesBefore = h.store->saves;
    EXPECT_EQ(h.coordinator->verify(), ticked);
    EXPECT_TRUE(h.takeEvents().empty());
    EXPECT_TRUE(logs.messages().empty());
    EXPECT_EQ(h.hostsWrites, writesBefore);
    EXPECT_EQ(h.store->saves, savesBefore);
  }
}

TEST(CoordinatorVerify, WithoutASessionLooksAtNothing) {
  CoordinatorHarness h;
  writeFile(h.hostsPath, "# BEGIN HUSHWALL x\n# END HUSHWALL\n");
  EXPECT_EQ(h.coordinator->verify(), Outcome::idle());
  EXPECT_TRUE(h.takeEvents().empty());
  EXPECT_TRUE(h.hostsHasBlock());
}

TEST(CoordinatorLaunch, ResumesAfterARebootCreditingAtMostTenMinutes) {
  CoordinatorHarness h;
  auto started = h.coordinator->start({"example.com"}, 1800).value();
  h.clock->advance(1000);
  (void)h.coordinator->tick();
  writeFile(h.hostsPath, original);  // the block went missing while the machine was off
  h.clock->reboot("B", 3600);
  h.restart();
  h.takeEvents();

  CapturingLogSink logs;
  auto resumed = h.coordinator->reconcileOnLaunch();
  ASSERT_EQ(resumed.kind, Kind::running);
  EXPECT_EQ(resumed.state->id, started.id);
  EXPECT_EQ(resumed.state->consumed, 1600);
  EXPECT_EQ(resumed.state->remaining(), 200);
  EXPECT_EQ(h.store->load().value()->consumed, 1600);
  EXPECT_EQ(h.coordinator->current(), resumed.state);
  EXPECT_TRUE(h.hostsHasBlock());
  EXPECT_EQ(h.takeEvents(), events({"ring", "flush"}));
  EXPECT_EQ(logs.messages("session"), std::vector<std::string>{"launch: reasserted the block for the live session"});
}

TEST(CoordinatorLaunch, EndsASessionThatExpiredWhileTheDaemonWasAway) {
  CoordinatorHarness h;
  auto started = h.coordinator->start({"example.com"}, 60).value();
  h.clock->advance(3600);
  h.restart();
  h.takeEvents();
  auto outcome = h.coordinator->reconcileOnLaunch();
  ASSERT_EQ(outcome.kind, Kind::ended);
  EXPECT_EQ(outcome.state->id, started.id);
  EXPECT_EQ(h.hosts(), original);
  EXPECT_FALSE(h.store->exists());
  EXPECT_EQ(h.takeEvents(), events({"ring", "flush", "delete"}));
}

// A launch whose file work fails keeps the session it found, so the next tick
// retries: a resumed session gets its block back, an expired one is ended.
TEST(CoordinatorLaunch, AFailedLaunchStepIsRetriedByTheNextTick) {
  for (double away : {30.0, 3600.0}) {
    SCOPED_TRACE(away);
    CoordinatorHarness h;
    CapturingLogSink quiet;
    auto started = h.coordinator->start({"example.com"}, 600).value();
    // Either the block must be put back or, once expired, taken away: a hosts write either way.
    if (away < 600) writeFile(h.hostsPath, original);
    h.clock->advance(away);
    h.restart();
    h.failHostsWrite = true;
    EXPECT_EQ(h.coordinator->reconcileOnLaunch(), Outcome::stuck(DaemonError::hostsWriteFailed));
    EXPECT_EQ(h.coordinator->current()->id, started.id);
    EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::blocking);
    h.takeEvents();

    h.failHostsWrite = false;
    h.clock->advance(15);
    auto retried = h.coordinator->tick();
    EXPECT_FALSE(h.coordinator->isStuck());
    if (away < 600) {
      ASSERT_EQ(retried.kind, Kind::running);
      EXPECT_EQ(retried.state->consumed, away + 15);
      EXPECT_TRUE(h.hostsHasBlock());
      EXPECT_EQ(h.takeEvents(), events({"flush"}));
    } else {
      EXPECT_EQ(retried.kind, Kind::ended);
      EXPECT_FALSE(h.store->exists());
      EXPECT_EQ(h.takeEvents(), events({"ring", "flush", "delete"}));
    }
  }
}

TEST(CoordinatorLaunch, ClearsAnOrphanedBlock) {
  CoordinatorHarness h;
  writeFile(h.hostsPath, original + "# BEGIN HUSHWALL x\n127.0.0.1\tgone.com\n# END HUSHWALL\nafter\n");
  CapturingLogSink logs;
  EXPECT_EQ(h.coordinator->reconcileOnLaunch(), Outcome::idle());
  EXPECT_EQ(h.hosts(), original + "after\n");
  EXPECT_EQ(h.takeEvents(), events({"ring", "flush"}));
  EXPECT_EQ(logs.messages("session"), std::vector<std::string>{"launch: cleared an orphaned block"});
}

TEST(CoordinatorLaunch, NothingToDoWithoutAHostsFile) {
  CoordinatorHarness h;
  ASSERT_EQ(::unlink(h.hostsPath.c_str()), 0);
  EXPECT_EQ(h.coordinator->reconcileOnLaunch(), Outcome::idle());
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_EQ(::access(h.hostsPath.c_str(), F_OK), -1) << "no session: nothing is written";
}

TEST(CoordinatorLaunch, AnUnreadableSessionFileLeavesTheCoordinatorStuck) {
  CoordinatorHarness h;
  h.writeSessionFile("not json");
  EXPECT_EQ(h.coordinator->reconcileOnLaunch(), Outcome::stuck(DaemonError::stateUnreadable));
  EXPECT_TRUE(h.coordinator->isStuck());
  EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::unknown);
  EXPECT_EQ(h.takeEvents(), events({"ring"}));
  EXPECT_EQ(readFile(h.stateDirectory + "/session.json"), "not json") << "the file stays";
  EXPECT_EQ(h.coordinator->start({"a.com"}, 60), std::unexpected(Error{DaemonError::stateUnreadable}));
  EXPECT_EQ(h.coordinator->tick(), Outcome::stuck(DaemonError::stateUnreadable));
  EXPECT_EQ(h.coordinator->verify(), Outcome::stuck(DaemonError::stateUnreadable));
  EXPECT_FALSE(h.coordinator->whileSettled([](bool) { ADD_FAILURE() << "must not run while stuck"; }));
}

TEST(CoordinatorTick, AnUnwritableHostsFileTurnsTheEndIntoStuckUntilItIsWritable) {
  CoordinatorHarness h;
  auto started = h.coordinator->start({"example.com"}, 60).value();
  h.takeEvents();
  h.clock->advance(75);
  h.failHostsWrite = true;
  CapturingLogSink logs;
  EXPECT_EQ(h.coordinator->tick(), Outcome::stuck(DaemonError::hostsWriteFailed));
  auto lines = logs.messages("session");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "tick FAILED: could not rename the temporary file into place: Permission denied");
  EXPECT_EQ(lines[1], "session state is STUCK: The hosts file could not be updated.");
  EXPECT_EQ(h.coordinator->current()->id, started.id) << "the session is kept for the retry";
  EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::blocking);
  EXPECT_TRUE(h.hostsHasBlock());
  EXPECT_TRUE(h.store->exists());
  EXPECT_TRUE(h.takeEvents().empty());

  h.failHostsWrite = false;
  h.clock->advance(15);
  auto ended = h.coordinator->tick();
  ASSERT_EQ(ended.kind, Kind::ended);
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_FALSE(h.hostsHasBlock());
  EXPECT_EQ(h.takeEvents(), events({"ring", "flush", "delete"}));
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
