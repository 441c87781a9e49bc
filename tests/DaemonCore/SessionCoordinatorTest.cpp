// The coordinator on real files (see CoordinatorHarness): a start and its
// refusals, the upkeep by tick, repair and launch with the effects each rings,
// a stuck coordinator and its retry, and the schedule windows it fires.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "CoordinatorHarness.hpp"
#include "DaemonCore/HostsDocument.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using Kind = SessionCoordinator::Outcome::Kind;
using Ran = ScheduleRun::Outcome;
using H = testing::CoordinatorHarness;
using testing::CapturingLogSink;
using testing::fixedID;
using testing::weeklySchedule;
using testing::writeFile;
using Events = std::vector<std::string>;

const std::string original = "127.0.0.1\tlocalhost\n";
const std::vector<std::string> oneDomain{"example.com"};

void begin(H& h, double duration, double away, bool ticked = false) {
  ASSERT_TRUE(h.coordinator->start(oneDomain, duration));
  h.clock->advance(away);
  if (ticked) (void)h.coordinator->tick();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The log lines joined by '\n', with the temporary directory as "@" and the session's id as "<id>".
std::string lines(const H& h, const CapturingLogSink& logs, const std::optional<SessionState>& state) {
  std::string text;
  for (const auto& line : logs.messages()) text += (text.empty() ? "" : "\n") + line;
  return replaced(replaced(text, h.directory.path() + "/", "@"), state ? state->id.string() : "", "<id>");
}

// "B" the hosts file holds a block, "F" the session file exists, "S" memory holds a session; "-" for each that is not.
std::string where(H& h) {
  return std::string(std::filesystem::is_regular_file(h.hostsPath) && h.hostsHasBlock() ? "B" : "-") +
         (h.store->exists() ? "F" : "-") + (h.coordinator->current() ? "S" : "-");
}

TEST(CoordinatorStart, StartsWritesPublishesAndRingsThenFlushes) {
  H h;
  CapturingLogSink logs;
  auto started = h.coordinator->start({"Example.COM", "news.example", "example.com"}, 90.7);
  ASSERT_TRUE(started) << describe(started.error());
  EXPECT_EQ(started->domains, (std::vector<std::string>{"example.com", "news.example"}));
  EXPECT_EQ(started->totalDuration, 90.7);
  EXPECT_EQ(h.coordinator->current(), *started);
  EXPECT_EQ(h.store->load().value(), *started);
  EXPECT_EQ(h.hosts(), HostsDocument::applying(started->domains, started->id, original));
  EXPECT_EQ(h.takeEvents(), (Events{"ring", "flush"}));
  EXPECT_EQ(h.coordinator->filterRules(), FilterRuleSet(*started, false));
  EXPECT_EQ(lines(h, logs, *started), "session <id> started, 90s");
  // Ticks that only advance the consumed time leave the rule set equal: no ring.
  h.clock->advance(15);
  EXPECT_EQ(h.coordinator->tick().kind, Kind::running);
  EXPECT_EQ(h.coordinator->verify().kind, Kind::running);
  EXPECT_TRUE(h.takeEvents().empty());

  H noHosts;
  ASSERT_EQ(::unlink(noHosts.hostsPath.c_str()), 0);
  auto created = noHosts.coordinator->start(oneDomain, 600);
  ASSERT_TRUE(created) << describe(created.error());
  EXPECT_EQ(noHosts.hosts(), HostsDocument::renderBlock(oneDomain, created->id));
  EXPECT_EQ(testing::fileMode(noHosts.hostsPath), 0644);
}

// Every refusal, in the order the checks run; each leaves files, memory and the filter as they were.
TEST(CoordinatorStart, RefusalsInOrderChangeNothing) {
  CapturingLogSink quiet;
  struct Case {
    const char* what;
    void (*arrange)(H&);
    std::vector<std::string> domains;
    double duration;
    std::string error;    // described; "@" is the temporary directory
    Events effects = {};  // a failed start rings and flushes nothing
  };
  const std::string unreadable = "The session state file could not be read.", active = "A session is already running. It cannot be ended early.";
  // clang-format off
  const Case cases[] = {
      {"below a minute, also with bad domains", [](H&) {}, {"bad domain"}, 59, "Duration must be between 1 minute and 24 hours."},
      {"duration not a number", [](H&) {}, oneDomain, std::nan(""), "Duration must be between 1 minute and 24 hours."},
      {"an invalid domain", [](H&) {}, {"ok.com", "not ok"}, 60, "One or more domains are not valid hostnames."},
      {"too many domains", [](H&) {}, std::vector<std::string>(501, "a.com"), 60, "Too many sites to block at once \u2014 the limit is 500."},
      {"stuck on an unreadable session file", [](H& h) { h.writeSessionFile("{garbled"); (void)h.coordinator->reconcileOnLaunch(); }, oneDomain, 60, unreadable},
      {"stuck while a session runs: before sessionAlreadyActive",
       [](H& h) { begin(h, 600, 0); writeFile(h.hostsPath, "tampered\n"); h.failHostsWrite = true; (void)h.coordinator->tick(); },
       oneDomain, 60, "could not rename the temporary file over @hosts: Permission denied"},
      {"a session running", [](H& h) { begin(h, 600, 0); }, oneDomain, 60, active},
      {"a session on disk that memory does not know", [](H& h) { H other; begin(other, 600, 0); (void)h.store->save(*other.coordinator->current()); }, oneDomain, 60, active},
      {"an undecodable session file", [](H& h) { h.writeSessionFile(""); }, oneDomain, 60, unreadable},
      {"a managed region in the hosts file", [](H& h) { writeFile(h.hostsPath, "# BEGIN HUSHWALL 0\n127.0.0.1\tx.com\n# END HUSHWALL\n"); }, oneDomain, 60, active},
      {"the hosts file cannot be read", [](H& h) { ::unlink(h.hostsPath.c_str()); ::mkdir(h.hostsPath.c_str(), 0755); }, oneDomain, 60, "read @hosts: Is a directory"},
      {"the session file cannot be written", [](H& h) { h.store->failSave = true; }, oneDomain, 60, "could not rename the temporary file over @state/session.json: Read-only file system"},
      {"the hosts file cannot be written after the save", [](H& h) { h.failHostsWrite = true; }, oneDomain, 60, "could not rename the temporary file over @hosts: Permission denied", {"delete"}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    H h;
    c.arrange(h);
    h.takeEvents();
    const auto sessionBefore = h.coordinator->current();
    const auto rulesBefore = h.coordinator->filterRules();
    const bool hostsIsFile = std::filesystem::is_regular_file(h.hostsPath), fileBefore = h.store->exists();
    const std::string hostsBefore = hostsIsFile ? h.hosts() : "";
    CapturingLogSink logs;
    auto started = h.coordinator->start(c.domains, c.duration);
    ASSERT_FALSE(started);
    EXPECT_EQ(replaced(describe(started.error()), h.directory.path() + "/", "@"), c.error);
    EXPECT_EQ(h.coordinator->current(), sessionBefore);
    EXPECT_EQ(h.coordinator->filterRules(), rulesBefore);
    EXPECT_EQ(h.store->exists(), fileBefore);
    EXPECT_EQ(hostsIsFile ? h.hosts() : "", hostsBefore);
    EXPECT_EQ(h.takeEvents(), c.effects);
    EXPECT_TRUE(logs.messages("session").empty());
  }
}

// Tick, repair (verify) and launch on what an earlier step left. A running
// result is settled: verifying again writes, rings and logs nothing. A stuck
// one refuses starts and settled work, keeps the session, and the next tick
// without the fault repairs it.
TEST(CoordinatorUpkeep, TickRepairAndLaunchPutBackEndOrGetStuck) {
  enum Act { tick, verify, launch };
  struct Case {
    const char* what;
    void (*arrange)(H&);
    Act act;
    Kind kind;
    double consumed;  // of the resulting state, when there is one
    Events events;
    std::string log;  // see lines()
    const char* where;
  };
  const std::string repaired = "watcher: repaired the block", rewrote = "watcher: rewrote the session file";
  const std::string stuck = " FAILED, the block is STUCK: ", renameHosts = "could not rename the temporary file over @hosts: Permission denied";
  const std::string unreadable = "session.json unreadable: not valid JSON\nlaunch: reading the session file" + stuck + "The session state file could not be read.";
  // clang-format off
  const Case cases[] = {
      {"ends on time", [](H& h) { begin(h, 60, 45, true); h.clock->advance(15); }, tick, Kind::ended, 60, {"ring", "flush", "delete"}, "session <id> ended at tick", "---"},
      {"region removed", [](H& h) { begin(h, 600, 30, true); writeFile(h.hostsPath, original); }, verify, Kind::running, 30, {"flush"}, repaired, "BFS"},
      {"region removed, by tick", [](H& h) { begin(h, 600, 30, true); writeFile(h.hostsPath, original); }, tick, Kind::running, 30, {"flush"}, "tick: repaired a modified block", "BFS"},
      {"region below a line mapping the domain elsewhere", [](H& h) { begin(h, 600, 30, true); writeFile(h.hostsPath, "127.0.0.2\texample.com\n" + h.hosts()); }, verify, Kind::running, 30, {"flush"}, repaired, "BFS"},
      {"region edited inside", [](H& h) { begin(h, 600, 30, true); auto b = h.hosts(); writeFile(h.hostsPath, b.replace(b.find("127.0.0.1\texample.com"), 9, "10.0.0.1")); }, verify, Kind::running, 30, {"flush"}, repaired, "BFS"},
      {"region edited inside, by tick", [](H& h) { begin(h, 600, 30, true); auto b = h.hosts(); writeFile(h.hostsPath, b.replace(b.find("127.0.0.1\texample.com"), 9, "10.0.0.1")); }, tick, Kind::running, 30, {"flush"}, "tick: repaired a modified block", "BFS"},
      {"hosts file deleted", [](H& h) { begin(h, 600, 30, true); ::unlink(h.hostsPath.c_str()); }, verify, Kind::running, 30, {"flush"}, repaired, "BFS"},
      {"session file garbled", [](H& h) { begin(h, 600, 30, true); writeFile(h.store->real().path(), "{\"id\": 3}"); }, verify, Kind::running, 30, {}, "session.json unreadable: missing key \"schemaVersion\"\n" + rewrote, "BFS"},
      {"both lost", [](H& h) { begin(h, 600, 30, true); writeFile(h.hostsPath, ""); ::unlink(h.store->real().path().c_str()); }, verify, Kind::running, 30, {"flush"}, repaired + "\n" + rewrote, "BFS"},
      {"no session: a region is left alone", [](H& h) { writeFile(h.hostsPath, "# BEGIN HUSHWALL x\n# END HUSHWALL\n"); }, verify, Kind::idle, 0, {}, "", "B--"},
      // A continuous clock past its old reading is still a new boot.
      {"launch after a reboot one hour long credits ten minutes", [](H& h) { begin(h, 1800, 1000, true); writeFile(h.hostsPath, original); h.clock->reboot("B", 3600, 9000); }, launch, Kind::running, 1600, {"ring", "flush"}, "launch: reasserted the block for the live session", "BFS"},
      {"launch after the session expired", [](H& h) { begin(h, 60, 3600); }, launch, Kind::ended, 60, {"ring", "flush", "delete"}, "session <id> ended at launch", "---"},
      {"launch on an orphaned block", [](H& h) { writeFile(h.hostsPath, original + "# BEGIN HUSHWALL x\n127.0.0.1\tgone.com\n# END HUSHWALL\n"); }, launch, Kind::idle, 0, {"ring", "flush"}, "launch: cleared an orphaned block", "---"},
      {"launch without a hosts file", [](H& h) { ::unlink(h.hostsPath.c_str()); }, launch, Kind::idle, 0, {"ring"}, "", "---"},
      {"launch on an unreadable session file", [](H& h) { h.writeSessionFile("not json"); }, launch, Kind::stuck, 0, {"ring"}, unreadable, "-F-"},
      {"launch: the block cannot be put back", [](H& h) { begin(h, 60, 30); writeFile(h.hostsPath, original); h.failHostsWrite = true; }, launch, Kind::stuck, 0, {"ring"}, "launch: reasserting the block" + stuck + renameHosts, "-FS"},
      {"launch: the expired session cannot be ended", [](H& h) { begin(h, 60, 3600); h.failHostsWrite = true; }, launch, Kind::stuck, 0, {"ring"}, "launch: ending the session" + stuck + renameHosts, "BFS"},
      {"tick: the end cannot be written", [](H& h) { begin(h, 60, 75); h.failHostsWrite = true; }, tick, Kind::stuck, 0, {}, "tick: ending the session" + stuck + renameHosts, "BFS"},
      {"tick: the end's write never reaches the file", [](H& h) { begin(h, 60, 75); h.dropHostsWrites = true; }, tick, Kind::stuck, 0, {}, "tick: ending the session" + stuck + "The block could not be confirmed removed.", "BFS"},
      {"tick: the session file cannot be saved", [](H& h) { begin(h, 60, 15); h.store->failSave = true; }, tick, Kind::stuck, 0, {}, "tick: saving the session file" + stuck + "could not rename the temporary file over @state/session.json: Read-only file system", "BFS"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    H h;
    c.arrange(h);
    if (c.act == launch) h.restart();
    h.takeEvents();
    CapturingLogSink logs;
    auto outcome = c.act == tick ? h.coordinator->tick() : c.act == verify ? h.coordinator->verify() : h.coordinator->reconcileOnLaunch();
    ASSERT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.state ? outcome.state->consumed : 0, c.consumed);
    EXPECT_EQ(h.takeEvents(), c.events);
    EXPECT_EQ(lines(h, logs, outcome.state), c.log);
    EXPECT_EQ(where(h), c.where);
    if (c.kind == Kind::running) {
      EXPECT_EQ(h.store->load().value(), outcome.state) << "the session file holds what memory holds";
      EXPECT_TRUE(h.hosts().starts_with(HostsDocument::beginMarker)) << "the block goes first";
      logs.clear();
      const int writes = h.hostsWrites, saves = h.store->saves;
      EXPECT_EQ(h.coordinator->verify(), outcome);
      EXPECT_EQ(h.takeEvents(), Events{});
      EXPECT_EQ(logs.messages(), Events{});
      EXPECT_EQ(h.hostsWrites, writes);
      EXPECT_EQ(h.store->saves, saves);
    }
    if (c.kind != Kind::stuck || !h.coordinator->current()) continue;
    EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::blocking);
    EXPECT_EQ(h.coordinator->start({"a.com"}, 60), std::unexpected(*outcome.error));
    EXPECT_FALSE(h.coordinator->whileSettled([](bool) { ADD_FAILURE() << "must not run while stuck"; }));
    h.failHostsWrite = h.dropHostsWrites = h.store->failSave = false;
    h.clock->advance(15);
    auto retried = h.coordinator->tick();
    EXPECT_FALSE(h.coordinator->isStuck());
    EXPECT_EQ(where(h), retried.kind == Kind::running ? "BFS" : "---");
  }
}

// The end's clean-up (deleting the session file) runs after the lock is released; until it is
// done, and while the file cannot be deleted, a start is refused. Settled work runs under the lock.
TEST(CoordinatorSettled, RunsUnderTheLockAndNothingStartsBeforeTheEndIsCleanedUp) {
  H h;
  std::vector<bool> seen;
  auto body = [&](bool hasSession) {
    EXPECT_TRUE(BlockController::mutationLock().isHeldByCurrentThread());
    seen.push_back(hasSession);
  };
  EXPECT_TRUE(h.coordinator->whileSettled(body));
  begin(h, 60, 60);
  EXPECT_TRUE(h.coordinator->whileSettled(body));
  EXPECT_EQ(seen, (std::vector<bool>{false, true}));
  const Result<SessionState> refused = std::unexpected(Error{DaemonError::sessionAlreadyActive});
  int duringTeardown = 0;
  h.store->beforeRemove = [&] {
    EXPECT_EQ(h.coordinator->start(oneDomain, 60), refused);
    EXPECT_FALSE(h.coordinator->whileSettled(body));
    ++duringTeardown;
  };
  EXPECT_EQ(h.coordinator->tick().kind, Kind::ended);
  h.store->beforeRemove = nullptr;
  EXPECT_EQ(duringTeardown, 1);
  begin(h, 60, 61);
  h.store->failRemove = true;
  CapturingLogSink logs;
  EXPECT_EQ(h.coordinator->tick().kind, Kind::ended);
  EXPECT_EQ(logs.count("could not delete session state: unlink " + h.store->real().path() + ": Device or resource busy"), 1u);
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_EQ(h.coordinator->start(oneDomain, 60), refused);
}

const Date windowStart = testing::utc(2026, 12, 7, 9, 0);  // a Monday, 9:00 UTC
constexpr std::int64_t monday = 2;

std::unique_ptr<H> harnessAt(double minutesIn, const std::vector<Schedule>& schedules) {
  auto h = std::make_unique<H>("UTC", windowStart.sinceReferenceDate + minutesIn * 60);
  h->saveSchedules(schedules);
  h->takeEvents();
  return h;
}

std::vector<ScheduleRun> historyOf(const H& h, std::uint64_t n) {
  auto loaded = ScheduleStore(h.stateDirectory).load();
  auto* set = std::get_if<ScheduleSet>(&loaded);
  return set ? set->history[fixedID(n)] : std::vector<ScheduleRun>{};
}

TEST(CoordinatorSchedules, AnOpenWindowStartsASessionForWhatIsLeftOfItOnce) {
  Schedule schedule = weeklySchedule({monday}, 9 * 60, 3600, 7);
  auto h = harnessAt(30, {schedule});
  CapturingLogSink logs;
  auto outcome = h->coordinator->tick();
  ASSERT_EQ(outcome.kind, Kind::running);
  EXPECT_EQ(outcome.state->totalDuration, 1800);
  EXPECT_EQ(outcome.state->scheduleID, schedule.id);
  EXPECT_EQ(outcome.state->scheduleName, "Focus 7");
  EXPECT_EQ(outcome.state->domains, schedule.domains);
  EXPECT_EQ(where(*h), "BFS");
  EXPECT_EQ(h->takeEvents(), (Events{"ring", "flush"}));
  EXPECT_EQ(lines(*h, logs, outcome.state), "schedule 00000000-0000-0000-0000-000000000007 started session <id>, 1800s of its window left");
  EXPECT_EQ(std::get<ScheduleSet>(ScheduleStore(h->stateDirectory).load()).lastFired.at(schedule.id), windowStart);
  EXPECT_EQ(historyOf(*h, 7), (std::vector<ScheduleRun>{{windowStart, Ran::ran, 1800}}));
  // Later ticks of the same window say it already fired and record nothing new.
  logs.clear();
  h->clock->advance(15);
  EXPECT_EQ(h->coordinator->tick().kind, Kind::running);
  EXPECT_EQ(lines(*h, logs, outcome.state), "schedule 00000000-0000-0000-0000-000000000007 skipped: alreadyFired");
  EXPECT_EQ(historyOf(*h, 7).size(), 1u);
}

TEST(CoordinatorSchedules, EachOpenWindowIsRecordedOnce) {
  Schedule paused = weeklySchedule({monday}, 9 * 60, 3600, 3);
  paused.isEnabled = false;
  struct Case {
    const char* what;
    std::vector<Schedule> schedules;
    bool manualSession;
    std::map<std::uint64_t, Ran> recorded;  // by fixed id
    std::optional<std::uint64_t> starts;
  };
  // clang-format off
  const Case cases[] = {
      {"a session started by hand", {weeklySchedule({monday}, 9 * 60, 3600, 1)}, true, {{1, Ran::sessionRunning}}, std::nullopt},
      {"two windows at the same minute: the smaller id starts", {weeklySchedule({monday}, 9 * 60, 3600, 2), weeklySchedule({monday}, 9 * 60, 3600, 1)}, false, {{2, Ran::sessionRunning}, {1, Ran::ran}}, 1},
      {"a paused schedule", {paused}, false, {{3, Ran::paused}}, std::nullopt},
      {"under a minute left", {weeklySchedule({monday}, 8 * 60 + 6, 3600 - 1, 4)}, false, {{4, Ran::windowNearlyOver}}, std::nullopt},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CapturingLogSink quiet;
    auto h = harnessAt(5, {});
    if (c.manualSession) begin(*h, 3600, 0);
    h->saveSchedules(c.schedules);
    for (int tick = 0; tick < 3; ++tick, h->clock->advance(5)) {
      auto outcome = h->coordinator->tick();
      if (tick == 0 && c.starts) {
        EXPECT_EQ(outcome.state->scheduleID, fixedID(*c.starts));
      }
    }
    for (const auto& [n, outcome] : c.recorded) {
      auto runs = historyOf(*h, n);
      ASSERT_EQ(runs.size(), 1u) << n;
      EXPECT_EQ(runs[0].outcome, outcome) << n;
    }
  }
}

// A failed scheduled start records nothing and is tried again; a launch inside the window starts
// its session, a stuck one leaves the schedules alone.
TEST(CoordinatorSchedules, AFailedStartIsRetriedAndALaunchStartsUnlessStuck) {
  auto h = harnessAt(30, {weeklySchedule({monday}, 9 * 60, 3600, 1)});
  h->failHostsWrite = true;
  CapturingLogSink logs;
  EXPECT_EQ(h->coordinator->tick(), SessionCoordinator::Outcome::idle());
  EXPECT_EQ(logs.messages("session").back(), "schedule 00000000-0000-0000-0000-000000000001 could not start: could not rename the temporary file over " + h->hostsPath + ": Permission denied");
  EXPECT_EQ(where(*h), "---");
  EXPECT_TRUE(historyOf(*h, 1).empty());
  h->failHostsWrite = false;
  h->clock->advance(15);
  EXPECT_EQ(h->coordinator->tick().state->totalDuration, 1800 - 15);

  for (bool stuck : {false, true}) {
    SCOPED_TRACE(stuck ? "stuck" : "launch");
    auto launched = harnessAt(10, {weeklySchedule({monday}, 9 * 60, 3600, 1)});
    if (stuck) launched->writeSessionFile("garbage");
    launched->restart();
    auto outcome = launched->coordinator->reconcileOnLaunch();
    EXPECT_EQ(outcome.kind, stuck ? Kind::stuck : Kind::running);
    EXPECT_EQ(outcome.state ? outcome.state->totalDuration : 0, stuck ? 0 : 3000);
    logs.clear();
    EXPECT_EQ(launched->coordinator->tick().kind, stuck ? Kind::stuck : Kind::running);
    EXPECT_EQ(logs.messages("session").size(), stuck ? 0u : 1u) << "a stuck tick logs nothing";
    EXPECT_EQ(historyOf(*launched, 1).size(), stuck ? 0u : 1u);
  }
}

}  // namespace
}  // namespace hushwall
