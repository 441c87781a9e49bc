// The coordinator on real files (see CoordinatorHarness). Each row arranges the files and the
// coordinator, acts once, and is compared as one transcript: what the act returned, the effects it
// rang in order, where the session is (see where()), and the lines logged. A running result must
// be settled: verifying again writes, rings and logs nothing. Settled work runs under the lock
// unless stuck; a stuck coordinator keeps its session and the filter blocking, and the next tick
// without the fault repairs it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "CoordinatorHarness.hpp"
#include "HushwallCore/Json.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using Kind = SessionCoordinator::Outcome::Kind;
using namespace testing;
using H = CoordinatorHarness;

const std::string original = "127.0.0.1\tlocalhost\n", renamed = "could not rename the temporary file over ",
                  active = "refused: A session is already running. It cannot be ended early.";
const std::vector<std::string> oneDomain{"example.com"};

void begin(H& h, double duration, double away, bool ticked = false) {
  ASSERT_TRUE(h.coordinator->start(oneDomain, duration));
  h.clock->advance(away);
  if (ticked) (void)h.coordinator->tick();
}

// Rewrites the JSON file at `path` through `change`.
void rewrite(const std::string& path, void (*change)(Json& json)) {
  Json json = Json::parse(readFile(path));
  change(json);
  writeFile(path, json.dump());
}

// Moves the clock `minutesIn` minutes into a Monday 9:00 UTC window and saves `numbers` as
// schedules of that window (hour-long, named "Focus n"; 0 a paused one, 9 one that opened at 8:06).
const Date windowStart = testing::utc(2026, 12, 7, 9, 0);
void window(H& h, double minutesIn, const std::vector<std::uint64_t>& numbers) {
  h.clock->advance(windowStart.sinceReferenceDate + minutesIn * 60);
  std::vector<Schedule> schedules;
  for (auto n : numbers) schedules.push_back(testing::weeklySchedule({2}, n == 9 ? 486 : 540, n == 9 ? 3599 : 3600, n));
  for (auto& schedule : schedules) schedule.isEnabled = schedule.id != testing::fixedID(0);
  ASSERT_TRUE(h.coordinator->saveSchedules(schedules));
}

// "B" the hosts file holds a block, "F" the session file exists, "S" memory holds a session, "-"
// for each that does not; then each schedule's recorded runs as " n:outcome", and " Q" when an
// unusable schedules file was moved aside.
std::string where(H& h) {
  std::string text = std::string(std::filesystem::is_regular_file(h.hostsPath) && h.hostsHasBlock() ? "B" : "-") +
                     (h.store->exists() ? "F" : "-") + (h.coordinator->current() ? "S" : "-");
  for (const auto& [id, runs] : h.coordinator->scheduleSet().history) {
    for (const auto& run : runs)
      text += " " + id.string().substr(35) + ":" + std::string(ScheduleRun::text(run.outcome));
  }
  return text + (std::filesystem::exists(h.stateDirectory + "/schedules.json.broken") ? " Q" : "");
}

std::string said(const SessionCoordinator::Outcome& outcome) {
  const char* kinds[] = {"running", "ended", "stuck", "idle"};
  return kinds[static_cast<int>(outcome.kind)] +
         (outcome.state ? " " + std::to_string(std::lround(outcome.state->consumed)) : "");
}

std::string said(const Result<SessionState>& started) {
  if (!started) return "refused: " + describe(started.error());
  std::string text = "started";
  for (const auto& domain : started->domains) text += " " + domain;
  return text + " " + (std::ostringstream() << started->totalDuration).str();
}

using Act = std::string (*)(H&);
const Act tick = [](H& h) { return said(h.coordinator->tick()); };
const Act verify = [](H& h) { return said(h.coordinator->verify()); };
const Act launch = [](H& h) { return h.restart(), said(h.coordinator->reconcileOnLaunch()); };

// clang-format off
struct Case { const char* what; void (*arrange)(H&); Act act; std::string expected; };
// clang-format on

// "said | effects | where | log lines" of one act.
std::string transcript(H& h, Act act) {
  CapturingLogSink logs;
  std::string text = act(h) + " |";
  for (const auto& event : h.takeEvents()) text += " " + event;
  text += " | " + where(h) + " |";
  for (const auto& line : logs.messages()) text += " " + line;
  return text;
}

// Whether an id, 8-4-4-4-12 hexadecimal digits, starts at `at`.
bool idAt(const std::string& text, std::size_t at) {
  constexpr std::string_view shape = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
  if (at + shape.size() > text.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '-' ? text[at + i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[at + i]))) return false;
  }
  return true;
}

// `text` with "@" for `directory`, "#n" for schedule fixture n's id and "<id>" for any other id. By hand, not
// <regex>, which alone would treble this file's build time.
std::string masked(std::string text, const std::string& directory) {
  for (std::size_t at; (at = text.find(directory)) != std::string::npos;) text.replace(at, directory.size(), "@");
  constexpr std::string_view fixture = "00000000-0000-0000-0000-00000000000";
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (!idAt(text, at)) continue;
    const bool ofFixture = text.compare(at, fixture.size(), fixture) == 0;
    text.replace(at, ofFixture ? fixture.size() : 36, ofFixture ? "#" : "<id>");
  }
  return text;
}

// Each case's transcript; "@" is the temporary directory, "<id>" the session's id, "#n" schedule n's id.
void check(std::initializer_list<Case> cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    H h;
    c.arrange(h);
    h.takeEvents();
    const std::string text = masked(transcript(h, c.act), h.directory.path() + "/");
    EXPECT_EQ(text, c.expected);
    const auto session = h.coordinator->current();
    const bool stuck = h.coordinator->isStuck();
    bool ran = false;
    const bool settled = h.coordinator->whileSettled([&](bool hasSession) {
      ran = hasSession == session.has_value() && BlockController::mutationLock().isHeldByCurrentThread();
    });
    EXPECT_TRUE(settled == !stuck && ran == !stuck) << "settled work runs under the lock, unless stuck";
    if (text.starts_with("running") || text.starts_with("started")) {
      EXPECT_EQ(h.store->load().value(), session) << "the session file holds what memory holds";
      const int renames = h.renames;
      const std::string settledAt = " | | " + where(h) + " |";
      EXPECT_EQ(transcript(h, verify), "running " + std::to_string(std::lround(session->consumed)) + settledAt);
      EXPECT_EQ(h.renames, renames);
    }
    if (!text.starts_with("stuck") || !session) continue;
    EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::blocking);
    h.failHostsWrite = h.dropHostsWrites = h.failSave = false;
    h.clock->advance(15);
    const std::string retried = said(h.coordinator->tick()).substr(0, 5);
    EXPECT_EQ(retried + " " + where(h), retried == "runni" ? "runni BFS" : "ended ---");
  }
}

// Every refusal in the order the checks run; each changes nothing and rings nothing.
TEST(CoordinatorStart, StartsOrRefusesInOrder) {
  const std::string unreadable = "The session state file could not be read.";
  // clang-format off
  check({
      {"domains normalized, written, published, rung then flushed", [](H&) {}, [](H& h) { return said(h.coordinator->start({"Example.COM", "news.example", "example.com"}, 90.7)); }, "started example.com news.example 90.7 | ring flush | BFS | session <id> started, 90s"},
      {"readers meanwhile get the previous snapshot at once", [](H& h) { h.duringHostsWrite = [&h] { EXPECT_FALSE(h.coordinator->current() || h.coordinator->isStuck() || h.coordinator->scheduleFailureReason()); EXPECT_EQ(h.coordinator->filterRules().state, FilterRuleSet::State::idle); }; }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, "started example.com 60 | ring flush | BFS | session <id> started, 60s"},
      {"no hosts file", [](H& h) { ::unlink(h.hostsPath.c_str()); }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, "started example.com 60 | ring flush | BFS | session <id> started, 60s"},
      {"exactly 24 hours", [](H&) {}, [](H& h) { return said(h.coordinator->start(oneDomain, 86400)); }, "started example.com 86400 | ring flush | BFS | session <id> started, 86400s"},
      {"over 24 hours", [](H&) {}, [](H& h) { return said(h.coordinator->start(oneDomain, 86400.001)); }, "refused: Duration must be between 1 minute and 24 hours. | | --- |"},
      {"below a minute, also with bad domains", [](H&) {}, [](H& h) { return said(h.coordinator->start({"bad domain"}, 59)); }, "refused: Duration must be between 1 minute and 24 hours. | | --- |"},
      {"duration not a number", [](H&) {}, [](H& h) { return said(h.coordinator->start(oneDomain, std::nan(""))); }, "refused: Duration must be between 1 minute and 24 hours. | | --- |"},
      {"an invalid domain", [](H&) {}, [](H& h) { return said(h.coordinator->start({"ok.com", "not ok"}, 60)); }, "refused: One or more domains are not valid hostnames. | | --- |"},
      {"too many domains", [](H&) {}, [](H& h) { return said(h.coordinator->start(std::vector<std::string>(501, "a.com"), 60)); }, "refused: Too many sites to block at once \u2014 the limit is 500. | | --- |"},
      {"stuck on an unreadable session file", [](H& h) { writeFile(h.store->path(), "{garbled"); (void)h.coordinator->reconcileOnLaunch(); }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, "refused: " + unreadable + " | | -F- |"},
      {"stuck, before sessionAlreadyActive", [](H& h) { begin(h, 600, 0); writeFile(h.hostsPath, "tampered\n"); h.failHostsWrite = true; (void)h.coordinator->tick(); }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, "refused: " + renamed + "@hosts: Permission denied | | -FS |"},
      {"a session running", [](H& h) { begin(h, 600, 0); }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, active + " | | BFS |"},
      {"a session on disk that memory does not know", [](H& h) { H other; begin(other, 600, 0); (void)h.store->save(*other.coordinator->current()); }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, active + " | | -F- |"},
      {"an undecodable session file", [](H& h) { writeFile(h.store->path(), ""); }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, "refused: " + unreadable + " | | -F- | session.json unreadable: not valid JSON"},
      {"a managed region in the hosts file", [](H& h) { writeFile(h.hostsPath, "# BEGIN HUSHWALL 0\n127.0.0.1\tx.com\n# END HUSHWALL\n"); }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, active + " | | B-- |"},
      {"the hosts file cannot be read", [](H& h) { ::unlink(h.hostsPath.c_str()); ::mkdir(h.hostsPath.c_str(), 0755); }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, "refused: read @hosts: Is a directory | | --- |"},
      {"the session file cannot be written", [](H& h) { h.failSave = true; }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, "refused: " + renamed + "@state/session.json: Read-only file system | | --- |"},
      {"the hosts file cannot be written after the save", [](H& h) { h.failHostsWrite = true; }, [](H& h) { return said(h.coordinator->start(oneDomain, 60)); }, "refused: " + renamed + "@hosts: Permission denied | delete | --- |"},
  });
  // clang-format on
}

// The tick ends a session on time; the tick and the watchers' repair put back what was tampered with.
TEST(CoordinatorUpkeep, TickAndRepairEndOrPutBack) {
  const std::string repaired = "watcher: repaired the block", rewrote = "watcher: rewrote the session file",
                    byTick = "tick: repaired a modified block";
  // clang-format off
  check({
      {"ticks only count", [](H& h) { begin(h, 60, 15, true); h.clock->advance(30); }, tick, "running 45 | | BFS |"},
      {"ends on time", [](H& h) { begin(h, 60, 45, true); h.clock->advance(15); }, tick, "ended 60 | ring flush delete | --- | session <id> ended at tick"},
      {"ends; until the session file is gone, starts and settled work wait", [](H& h) { begin(h, 60, 60); h.beforeRemove = [&h] { EXPECT_EQ(said(h.coordinator->start(oneDomain, 60)), active); EXPECT_FALSE(h.coordinator->whileSettled([](bool) {})); }; }, tick, "ended 60 | ring flush delete | --- | session <id> ended at tick"},
      {"ends, the session file stays", [](H& h) { begin(h, 60, 60); h.failRemove = true; }, tick, "ended 60 | ring flush delete | -F- | session <id> ended at tick could not delete session state: unlink @state/session.json: Device or resource busy"},
      {"region removed", [](H& h) { begin(h, 600, 30, true); writeFile(h.hostsPath, original); }, verify, "running 30 | flush | BFS | " + repaired},
      {"region removed, by tick", [](H& h) { begin(h, 600, 30, true); writeFile(h.hostsPath, original); }, tick, "running 30 | flush | BFS | " + byTick},
      {"region below a line mapping the domain elsewhere", [](H& h) { begin(h, 600, 30, true); writeFile(h.hostsPath, "127.0.0.2\texample.com\n" + h.hosts()); }, verify, "running 30 | flush | BFS | " + repaired},
      {"region edited inside, by tick", [](H& h) { begin(h, 600, 30, true); auto b = h.hosts(); writeFile(h.hostsPath, b.replace(b.find("127.0.0.1\texample.com"), 9, "10.0.0.1")); }, tick, "running 30 | flush | BFS | " + byTick},
      {"hosts file deleted", [](H& h) { begin(h, 600, 30, true); ::unlink(h.hostsPath.c_str()); }, verify, "running 30 | flush | BFS | " + repaired},
      {"session file garbled", [](H& h) { begin(h, 600, 30, true); writeFile(h.store->path(), "{\"id\": 3}"); }, verify, "running 30 | | BFS | session.json unreadable: missing key \"schemaVersion\" " + rewrote},
      {"both lost", [](H& h) { begin(h, 600, 30, true); writeFile(h.hostsPath, ""); ::unlink(h.store->path().c_str()); }, verify, "running 30 | flush | BFS | " + repaired + " " + rewrote},
      {"no session: a region is left alone", [](H& h) { writeFile(h.hostsPath, "# BEGIN HUSHWALL x\n# END HUSHWALL\n"); }, verify, "idle | | B-- |"},
      {"tick: the end cannot be written", [](H& h) { begin(h, 60, 75); h.failHostsWrite = true; }, tick, "stuck | | BFS | tick: ending the session FAILED, the block is STUCK: " + renamed + "@hosts: Permission denied"},
      {"tick: the end's write never reaches the file", [](H& h) { begin(h, 60, 75); h.dropHostsWrites = true; }, tick, "stuck | | BFS | tick: ending the session FAILED, the block is STUCK: The block could not be confirmed removed."},
      {"tick: the session file cannot be saved", [](H& h) { begin(h, 60, 15); h.failSave = true; }, tick, "stuck | | BFS | tick: saving the session file FAILED, the block is STUCK: " + renamed + "@state/session.json: Read-only file system"},
  });
  // clang-format on
}

// What a launch finds: the previous daemon's session (resumed with at most ten minutes credited
// for a reboot, or ended), an orphaned block, nothing, or a session file it cannot read.
TEST(CoordinatorLaunch, ResumesEndsClearsOrGetsStuck) {
  const std::string stuck = " FAILED, the block is STUCK: ";
  // clang-format off
  check({
      // A continuous clock past its old reading is still a new boot.
      {"after a reboot one hour long", [](H& h) { begin(h, 1800, 1000, true); writeFile(h.hostsPath, original); h.clock->reboot("B", 3600, 9000); }, launch, "running 1600 | ring flush | BFS | launch: reasserted the block for the live session"},
      {"after the session expired", [](H& h) { begin(h, 60, 3600); }, launch, "ended 60 | ring flush delete | --- | session <id> ended at launch"},
      {"on an orphaned block", [](H& h) { writeFile(h.hostsPath, original + "# BEGIN HUSHWALL x\n127.0.0.1\tgone.com\n# END HUSHWALL\n"); }, launch, "idle | ring flush | --- | launch: cleared an orphaned block"},
      {"without a hosts file", [](H& h) { ::unlink(h.hostsPath.c_str()); }, launch, "idle | ring | --- |"},
      {"on a session file of the oldest version", [](H& h) { begin(h, 600, 30); rewrite(h.store->path(), [](Json& j) { j["schemaVersion"] = 1; }); }, launch, "running 30 | ring | BFS |"},
      {"on a session file of a later version", [](H& h) { begin(h, 600, 30); rewrite(h.store->path(), [](Json& j) { j["schemaVersion"] = 4; }); }, launch, "stuck | ring | BF- | session.json unreadable: schema version 4 is not one we read launch: reading the session file" + stuck + "The session state file could not be read."},
      {"when the block cannot be put back", [](H& h) { begin(h, 60, 30); writeFile(h.hostsPath, original); h.failHostsWrite = true; }, launch, "stuck | ring | -FS | launch: reasserting the block" + stuck + renamed + "@hosts: Permission denied"},
      {"when the expired session cannot be ended", [](H& h) { begin(h, 60, 3600); h.failHostsWrite = true; }, launch, "stuck | ring | BFS | launch: ending the session" + stuck + renamed + "@hosts: Permission denied"},
  });
  // clang-format on
}

// An open window starts a session for what is left of it, once, and records each window it sees once.
// Schedules files of the versions we read are read; an unusable one is moved aside with its reason.
TEST(CoordinatorSchedules, AnOpenWindowStartsASessionForWhatIsLeftOfIt) {
  const std::string started = " started session <id>, ", left = "s of its window left",
                    unusable = "idle | | --- Q | schedules.json unusable (", aside = ") \u2014 moving it aside";
  // clang-format off
  check({
      {"schedules of the oldest version, with the two-key list and a record of an unknown id", [](H& h) { window(h, 30, {1}); rewrite(h.stateDirectory + "/schedules.json", [](Json& j) { j["schemaVersion"] = 1; j["schedules"][0].erase("blocklists"); j["lastFired"] = {fixedID(99).string(), 20}; }); }, tick, "running 0 | ring flush | BFS 1:ran | schedule #1" + started + "1800" + left},
      {"schedules of the current version", [](H& h) { window(h, 30, {1}); rewrite(h.stateDirectory + "/schedules.json", [](Json& j) { j["schemaVersion"] = 3; }); }, tick, "running 0 | ring flush | BFS 1:ran | schedule #1" + started + "1800" + left},
      {"schedules of a later version", [](H& h) { window(h, 30, {1}); rewrite(h.stateDirectory + "/schedules.json", [](Json& j) { j["schemaVersion"] = 4; }); }, tick, unusable + "schema version 4 is not one we read" + aside},
      {"a schedule no longer valid", [](H& h) { window(h, 30, {1}); rewrite(h.stateDirectory + "/schedules.json", [](Json& j) { j["schedules"][0]["startMinute"] = 1440; }); }, tick, unusable + "a schedule in the file is no longer one we would accept" + aside},
      {"an undecodable schedules file", [](H& h) { writeFile(h.stateDirectory + "/schedules.json", "{"); }, tick, unusable + "the file could not be decoded" + aside},
      {"a directory in its place", [](H& h) { ::mkdir((h.stateDirectory + "/schedules.json").c_str(), 0700); }, tick, unusable + "read @state/schedules.json: Is a directory" + aside},
      {"thirty minutes in", [](H& h) { window(h, 30, {7}); }, tick, "running 0 | ring flush | BFS 7:ran | schedule #7" + started + "1800" + left},
      {"a later tick of the same window", [](H& h) { window(h, 30, {7}); (void)h.coordinator->tick(); h.clock->advance(15); }, tick, "running 15 | | BFS 7:ran | schedule #7 skipped: alreadyFired"},
      {"a session started by hand", [](H& h) { window(h, 5, {1}); begin(h, 3600, 0); }, tick, "running 0 | | BFS 1:sessionRunning | schedule #1 skipped: sessionRunning"},
      {"two windows at the same minute: the smaller id starts", [](H& h) { window(h, 5, {2, 1}); }, tick, "running 0 | ring flush | BFS 1:ran 2:sessionRunning | schedule #2 skipped: sessionRunning schedule #1" + started + "3300" + left},
      {"a paused schedule", [](H& h) { window(h, 5, {0}); }, tick, "idle | | --- 0:paused | schedule #0 skipped: paused"},
      {"under a minute left", [](H& h) { window(h, 5, {9}); }, tick, "idle | | --- 9:windowNearlyOver | schedule #9 skipped: windowNearlyOver"},
      {"a failed start records nothing", [](H& h) { window(h, 30, {1}); h.failHostsWrite = true; }, tick, "idle | delete | --- | schedule #1 could not start: " + renamed + "@hosts: Permission denied"},
      {"a failed start is tried again", [](H& h) { window(h, 30, {1}); h.failHostsWrite = true; (void)h.coordinator->tick(); h.failHostsWrite = false; h.clock->advance(15); }, tick, "running 0 | ring flush | BFS 1:ran | schedule #1" + started + "1785" + left},
      {"a launch inside the window", [](H& h) { window(h, 10, {1}); }, launch, "running 0 | ring flush | BFS 1:ran | schedule #1" + started + "3000" + left},
      {"a stuck launch leaves the schedules alone", [](H& h) { window(h, 10, {1}); ::mkdir(h.store->path().c_str(), 0700); }, launch, "stuck | ring | -F- | session.json unreadable: read @state/session.json: Is a directory launch: reading the session file FAILED, the block is STUCK: The session state file could not be read."},
  });
  // clang-format on
}

// Starts, ticks, repairs, schedule saves (of windows that stay shut) and readers from five threads
// at once. Every session that started ends exactly once, and what is left at the end is consistent
// across memory, the session file and the hosts file.
TEST(CoordinatorConcurrency, NoSessionIsLostOrDuplicated) {
  H h;
  CapturingLogSink quiet;
  std::mutex idsMutex;
  std::multiset<Uuid> started, ended;  // guarded by idsMutex
  std::atomic<bool> running{true};
  auto tickAndCount = [&] {
    auto outcome = h.coordinator->tick();
    std::lock_guard lock(idsMutex);
    if (outcome.kind == Kind::ended) ended.insert(outcome.state->id);
    return ended.size();
  };
  auto stress = std::async(std::launch::async, [&] {
    std::vector<std::thread> threads;
    // clang-format off
    for (auto body : std::vector<std::function<void()>>{
             [&] { auto state = h.coordinator->start({"a.com", "b.com"}, 60); std::lock_guard lock(idsMutex); if (state) started.insert(state->id); },
             [&] { (void)h.coordinator->verify(); },
             [&, i = 0]() mutable { (void)h.coordinator->saveSchedules({testing::weeklySchedule({1, 2, 3, 4, 5, 6, 7}, 720 + i++ % 600, 60, 1)}), (void)h.coordinator->saveSchedules({}); },
             [&] { auto session = h.coordinator->current(); EXPECT_TRUE(!session || session->domains.size() == 2u); EXPECT_NE(h.coordinator->filterRules().state, FilterRuleSet::State::unknown); (void)h.coordinator->isStuck(), (void)h.coordinator->hasSchedules(), (void)h.coordinator->scheduleFailureReason(); }}) {
      threads.emplace_back([&, body] { for (; running; std::this_thread::yield()) body(); });
    }
    // clang-format on
    // The bound keeps the clock (from 00:00 in 20 s steps) short of the saved windows, which open at 12:00.
    for (int i = 0; i < 2000 && tickAndCount() < 8; ++i) h.clock->advance(20), std::this_thread::yield();
    running = false;
    for (auto& thread : threads) thread.join();
  });
  if (stress.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fputs("the stress run did not finish within 60 s: a deadlock\n", stderr);
    std::abort();  // fails now rather than at ctest's timeout
  }
  for (int i = 0; i < 5; ++i) h.clock->advance(20), tickAndCount();  // the last one runs out
  EXPECT_FALSE(h.coordinator->isStuck());
  EXPECT_GE(started.size(), 2u);
  EXPECT_EQ(started, ended);
  EXPECT_EQ(where(h), "---");
}

}  // namespace
}  // namespace hushwall
