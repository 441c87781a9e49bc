// The one minute-long session of the suites, started and watched with the
// command-line clients: every command's output, the filter follower, a
// handover to a replaced executable mid-session, the end on time, and then the
// daemon staying up past its idle minute because a schedule exists.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "E2E.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

// A client's output with what varies masked: ids, instants, seconds and the daemon's build.
std::string masked(std::string text) {
  const std::pair<const char*, const char*> masks[] = {
      {"[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}", "ID"},
      {"[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}|[0-9]:[0-9]{2}(?= of)|uid [0-9]+ for [0-9]+s|[0-9]+s ago|:[0-9.]+", "#"},
      {"(hushwalld [^ \n]+)[^\n]*", "$1"}};
  for (const auto& [pattern, mask] : masks) text = std::regex_replace(text, std::regex(pattern), mask);
  return text;
}

const std::string idle = R"({"hosts":[],"sessionID":null})";
const std::string blocking =
    "Blocking 3 domains for 1m\n  session:   ID\n  started:   #\n  time left: # of 1m\n"
    "  domains:   a.example, b.example, c.example\n";

using MinuteE2E = E2ETest;

TEST_F(MinuteE2E, ClientsFollowerHandoverEndAndSchedulesInOneSession) {
  Subprocess follow({HUSHWALL_FILTER_CLIENT, "follow", "--json"});
  EXPECT_EQ(follow.nextLine(5s), idle);
  ASSERT_TRUE(client.call("SaveSchedules",
                          Schedule::encodedList({weeklySchedule({1, 2, 3, 4, 5, 6, 7}, localMinute(720), 60)})));
  const std::string hushwall = HUSHWALL_CLIENT, filter = HUSHWALL_FILTER_CLIENT;
  // clang-format off
  const struct { std::vector<std::string> argv; std::string input; int status; std::string out, err; } runs[] = {
      {{hushwall, "status"}, "", 0, "No session is running.\n", ""},
      {{hushwall, "status", "--json"}, "", 0, "null\n", ""},
      {{hushwall, "start", "1m", "A.example,b.example", "--file", "-"}, "# more\nc.example\n", 0, blocking, ""},
      {{hushwall, "status"}, "", 0, blocking, ""},  // not a terminal: printed once, without a bar
      {{hushwall, "status", "--json"}, "", 0, R"({"consumed"#,"domains":["a.example","b.example","c.example"],"id":"ID","lastTick":{"bootID":"ID","bootTime"#,"continuous"#,"wallClock"#},"schemaVersion"#,"startedAt"#,"totalDuration"#})" "\n", ""},
      {{filter, "rules"}, "", 0, "state:   blocking\nsession: ID\nhosts:   3\n  a.example\n  b.example\n  c.example\n", ""},
      {{filter, "rules", "--json"}, "", 0, R"({"domains":["a.example","b.example","c.example"],"schemaVersion"#,"sessionID":"ID","state":"blocking"})" "\n", ""},
      {{filter, "report", "--detail", "from the test"}, "", 0, "Reported applied, 3 rules.\n", ""},
      {{hushwall, "health"}, "", 0, "hushwalld 0.1.0\n  running as #\n  session:        running\n  can manage the block: yes\n  filter:         applied, 3 rules, version 0.1.0 (from the test), #\n", ""},
      {{hushwall, "start", "1m", "d.example", "--json"}, "", 1, "", "hushwall: A session is already running. It cannot be ended early.\n"},
  };
  // clang-format on
  auto startedAt = std::chrono::steady_clock::now();
  for (const auto& run : runs) {
    SCOPED_TRACE(::testing::PrintToString(run.argv));
    Subprocess::Ran ran = Subprocess::run(run.argv, run.input);
    EXPECT_EQ(ran.status, run.status);
    EXPECT_EQ(masked(ran.out), run.out);
    EXPECT_EQ(ran.err, run.err);
    if (run.argv[1] != "start" || ran.status != 0) continue;
    startedAt = std::chrono::steady_clock::now();
    // The follower's own report comes before the one from the table.
    EXPECT_EQ(masked(follow.nextLine(5s).value_or("")),
              R"({"hosts":["a.example","b.example","c.example"],"sessionID":"ID"})");
    EXPECT_TRUE(daemon.waitForLog("filter reported: applied, 3 rules", 5s));
  }
  const std::string id =
      SessionState::decode(client.call("CurrentSession").value_or("")).value_or(SessionState{}).id.string();

  // An update replaces the executable: the first tick at least 5 s after the
  // last request hands over, and what the service manager does next, start
  // the file now at the path, resumes the session. No request comes after
  // this, so the new daemon's idle minute counts from its launch.
  daemon.replaceWith(daemon.built);
  ASSERT_EQ(daemon.waitForExit(40s), 0) << daemon.log();  // exited with status zero
  // clang-format off
  const std::pair<std::string, int> handoverLines[] = {
      {cat("another daemon is at ", daemon.installed, " and satisfies our requirement"), 1},
      {"this daemon still meets the requirement its clients pin — it waits for a quiet moment before handing over", 1},
      {"another daemon is at our path — handing over mid-session; systemd starts it at once, since session.json exists, and its launch reconcile resumes the session", 1},
      {"handing over without waiting", 0}};
  // clang-format on
  for (const auto& [line, count] : handoverLines) EXPECT_EQ(daemon.logCount(line), count) << line << daemon.log();
  startDaemon();  // its launch doorbell heard: the one counted below is the end's
  EXPECT_TRUE(daemon.waitForLog(cat("launch: session ", id, " resumed, "), 2s)) << daemon.log();
  // The follower backs off, asks the new daemon, and reports to it again, without a change of its own: its
  // report to the first daemon and the table's came before.
  EXPECT_TRUE(daemon.waitForLog("filter reported: applied, 3 rules", 10s, 3));
  int doorbells = client.doorbells();

  std::string dns;  // as it is the moment the session file is gone
  ASSERT_TRUE(
      waitUntil([&] { return !std::filesystem::exists(daemon.session) && !(dns = fileOrEmpty(daemon.dnsLog)).empty(); },
                90s, 20ms));
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
  EXPECT_GE(took, 59.5);
  EXPECT_LE(took, 66) << "the tick before the end may come up to its 5 s leeway late";
  EXPECT_EQ(std::ranges::count(dns, '\n'), 4);
  EXPECT_EQ(readFile(daemon.hosts), SandboxDaemon::initialHosts);
  EXPECT_TRUE(waitUntil([&] { return client.doorbells() == doorbells + 1; }, 2s));
  const std::string log = daemon.log();
  EXPECT_NE(log.find("rang the filter's doorbell", log.find(cat("session ", id, " ended at"))), std::string::npos)
      << log;
  EXPECT_EQ(follow.nextLine(10s), idle);

  // With a schedule, the daemon stays up past its idle minute.
  ASSERT_TRUE(waitUntil([&] { return daemon.longestStay(true) >= 60; }, 50s, 200ms)) << daemon.log();
  EXPECT_EQ(daemon.logCount("idle for 60s"), 0);
  EXPECT_EQ(follow.nextLine(0ms), std::nullopt) << "a third change";
  follow.kill(SIGTERM);
  EXPECT_EQ(follow.finish(), 0);
  EXPECT_TRUE(follow.err.contains("reported applied, 0 rules")) << follow.err;
}

}  // namespace
}  // namespace hushwall::testing
