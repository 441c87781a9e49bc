// The one minute-long session of the suites, started and watched with the
// command-line clients: every command's output and JSON, the filter follower,
// a handover to a replaced executable mid-session, the end on time, and then
// the daemon staying up past its idle minute because a schedule exists.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <regex>

#include "E2E.hpp"
#include "HushwallCore/DaemonHealth.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Json.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// The follower's --json lines, {"hosts": [...], "sessionID": ID or null}, as "ID: host host".
std::string change(const std::optional<std::string>& line) {
  auto parsed = parseJson(line.value_or(""));
  if (!parsed) return "(unparsable) " + line.value_or("(none)");
  std::string text = (*parsed)["sessionID"].is_string() ? (*parsed)["sessionID"].get<std::string>() : "null";
  text += ":";
  for (const auto& host : (*parsed)["hosts"].get<std::vector<std::string>>()) text += " " + host;
  return text;
}

using MinuteE2E = E2ETest;

TEST_F(MinuteE2E, ClientsFollowerHandoverEndAndSchedulesInOneSession) {
  Subprocess follow({HUSHWALL_FILTER_CLIENT, "follow", "--json"});
  EXPECT_EQ(change(follow.nextLine(5s)), "null:");
  EXPECT_EQ(Subprocess::run({HUSHWALL_CLIENT, "status"}).out, "No session is running.\n");
  EXPECT_EQ(Subprocess::run({HUSHWALL_CLIENT, "status", "--json"}).out, "null\n");
  ASSERT_TRUE(client.call("SaveSchedules",
                          Schedule::encodedList({weeklySchedule({1, 2, 3, 4, 5, 6, 7}, localMinute(720), 60)})));

  Subprocess::Ran started =
      Subprocess::run({HUSHWALL_CLIENT, "start", "1m", "A.example,b.example", "--file", "-"}, "# more\nc.example\n");
  auto startedAt = std::chrono::steady_clock::now();
  ASSERT_EQ(started.status, 0) << started.err;
  EXPECT_TRUE(started.out.starts_with("Blocking 3 domains for 1m\n")) << started.out;
  EXPECT_TRUE(contains(started.out, "  domains:   a.example, b.example, c.example\n")) << started.out;
  Subprocess::Ran status = Subprocess::run({HUSHWALL_CLIENT, "status"});  // not a terminal: printed once
  EXPECT_TRUE(contains(status.out, "  time left: 0:5") || contains(status.out, "  time left: 1:00")) << status.out;
  EXPECT_EQ(status.out.find("[#"), std::string::npos) << status.out;
  auto session = SessionState::decode(Subprocess::run({HUSHWALL_CLIENT, "status", "--json"}).out);
  ASSERT_TRUE(session.has_value()) << session.error().reason;
  const std::string id = session->id.string();
  EXPECT_EQ(session->domains, (std::vector<std::string>{"a.example", "b.example", "c.example"}));
  EXPECT_EQ(session->totalDuration, 60);
  EXPECT_EQ(change(follow.nextLine(5s)), id + ": a.example b.example c.example");
  EXPECT_TRUE(daemon.waitForLog("filter reported: applied, 3 rules", 5s));

  Subprocess::Ran rules = Subprocess::run({HUSHWALL_FILTER_CLIENT, "rules"});
  EXPECT_TRUE(rules.out.starts_with("state:   blocking\nsession: " + id + "\n")) << rules.out << rules.err;
  EXPECT_TRUE(contains(rules.out, "  b.example\n")) << rules.out;
  auto ruleSet = FilterRuleSet::decode(Subprocess::run({HUSHWALL_FILTER_CLIENT, "rules", "--json"}).out);
  ASSERT_TRUE(ruleSet.has_value());
  EXPECT_EQ(ruleSet->sessionID, session->id);
  Subprocess::Ran report = Subprocess::run({HUSHWALL_FILTER_CLIENT, "report", "--detail", "from the test"});
  EXPECT_TRUE(report.out.starts_with("Reported applied, ")) << report.out << report.err;
  Subprocess::Ran health = Subprocess::run({HUSHWALL_CLIENT, "health"});
  EXPECT_TRUE(contains(health.out, "  session:        running\n")) << health.out << health.err;
  EXPECT_TRUE(contains(health.out, "version 0.1.0 (from the test)")) << health.out;
  auto record = DaemonHealth::decode(Subprocess::run({HUSHWALL_CLIENT, "health", "--json"}).out);
  ASSERT_TRUE(record.has_value() && record->filter.has_value());
  EXPECT_TRUE(record->hasActiveSession);
  EXPECT_EQ(record->filter->report.sessionID, session->id);
  EXPECT_EQ(record->filter->report.detail, "from the test");
  Subprocess::Ran again = Subprocess::run({HUSHWALL_CLIENT, "start", "1m", "d.example", "--json"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "hushwall: " + message(DaemonError::sessionAlreadyActive) + "\n");

  // An update replaces the executable: the first tick at least 5 s after the
  // last request hands over, and what the service manager does next, start
  // the file now at the path, resumes the session. No request comes after
  // this, so the new daemon's idle minute counts from its launch.
  daemon.replaceWith(daemon.built);
  auto exited = daemon.waitForExit(40s);
  ASSERT_TRUE(exited) << daemon.log();
  EXPECT_TRUE(WIFEXITED(*exited) && WEXITSTATUS(*exited) == 0) << *exited;
  EXPECT_EQ(daemon.logCount(cat("another daemon is at ", daemon.installed, " and satisfies our requirement")), 1);
  EXPECT_EQ(daemon.logCount("this daemon still meets the requirement its clients pin — it waits for a quiet moment "
                            "before handing over"),
            1);
  EXPECT_EQ(daemon.logCount("another daemon is at our path — handing over mid-session; systemd starts it at once, "
                            "since session.json exists, and its launch reconcile resumes the session"),
            1)
      << daemon.log();
  EXPECT_EQ(daemon.logCount("handing over without waiting"), 0);
  startDaemon();  // its launch doorbell heard: the one counted below is the end's
  EXPECT_TRUE(daemon.waitForLog(cat("launch: session ", id, " resumed, "), 2s)) << daemon.log();
  // The follower backs off, asks the new daemon, and reports to it again, without a change of its own.
  EXPECT_TRUE(daemon.waitForLog("filter reported: applied, 3 rules", 10s, 2));
  int doorbells = client.doorbells();

  std::size_t dnsLines = 0;
  ASSERT_TRUE(waitUntil(
      [&] {
        if (std::filesystem::exists(daemon.session)) return false;
        std::string dns = fileOrEmpty(daemon.dnsLog);  // the moment the session file is gone
        dnsLines = static_cast<std::size_t>(std::count(dns.begin(), dns.end(), '\n'));
        return true;
      },
      90s, 20ms));
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
  EXPECT_GE(took, 59.5);
  EXPECT_LE(took, 66) << "the tick before the end may come up to its 5 s leeway late";
  EXPECT_EQ(dnsLines, 4u);
  EXPECT_EQ(readFile(daemon.hosts), SandboxDaemon::initialHosts);
  EXPECT_TRUE(waitUntil([&] { return client.doorbells() == doorbells + 1; }, 2s));
  std::string log = daemon.log();
  auto ended = log.find("session " + id + " ended at");
  ASSERT_NE(ended, std::string::npos) << log;
  EXPECT_NE(log.find("rang the filter's doorbell", ended), std::string::npos);
  EXPECT_EQ(change(follow.nextLine(10s)), "null:");

  // With a schedule, the daemon stays up past its idle minute.
  std::regex stayed("staying up: session=false stuck=false schedules=true sinceLastRequest=([0-9]+)s");
  ASSERT_TRUE(waitUntil(
      [&] {
        std::string text = daemon.log();
        return std::any_of(std::sregex_iterator(text.begin(), text.end(), stayed), std::sregex_iterator(),
                           [](const std::smatch& m) { return std::stol(m[1]) >= 60; });
      },
      50s, 200ms))
      << daemon.log();
  EXPECT_EQ(daemon.logCount("idle for 60s"), 0);
  EXPECT_EQ(follow.nextLine(0ms), std::nullopt) << "a third change";
  follow.signal(SIGTERM);
  EXPECT_EQ(follow.finish(), 0);
  EXPECT_TRUE(contains(follow.err, "reported applied, 0 rules")) << follow.err;
}

}  // namespace
}  // namespace hushwall::testing
