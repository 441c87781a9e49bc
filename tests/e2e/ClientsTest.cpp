// The two command-line clients run as real programs against the sandbox
// daemon on the private bus: every command's output, the JSON for scripts, the
// daemon's errors as the user sees them, raw bytes untouched, and the filter
// follower through a start, a daemon restart and an end.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "E2ETest.hpp"
#include "HushwallCore/DaemonHealth.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Json.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "HushwallCore/SessionState.hpp"
#include "support/Subprocess.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

const std::string hushwallProgram = HUSHWALL_CLIENT;
const std::string filterProgram = HUSHWALL_FILTER_CLIENT;

using Ran = Subprocess::Ran;

Ran run(const std::string& program, std::vector<std::string> args, std::string_view input = {}) {
  args.insert(args.begin(), program);
  return Subprocess::run(args, input);
}
Ran hushwall(const std::vector<std::string>& args, std::string_view input = {}) {
  return run(hushwallProgram, args, input);
}
Ran hushwallFilter(const std::vector<std::string>& args) { return run(filterProgram, args); }

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

class ClientsTest : public E2ETest {};

TEST_F(ClientsTest, EveryCommandShowsTheSessionAndScriptsGetJson) {
  EXPECT_EQ(hushwall({"status"}).out, "No session is running.\n");
  Ran none = hushwall({"status", "--json"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "null\n");

  Ran started = hushwall({"start", "2m", "A.example,b.example", "--file", "-"}, "# more\nc.example\n");
  ASSERT_EQ(started.status, 0) << started.err;
  EXPECT_TRUE(started.out.starts_with("Blocking 3 domains for 2m\n")) << started.out;
  EXPECT_TRUE(contains(started.out, "  domains:   a.example, b.example, c.example\n")) << started.out;

  Ran status = hushwall({"status"});  // not a terminal: printed once
  EXPECT_EQ(status.status, 0);
  EXPECT_TRUE(contains(status.out, "  time left: 1:5") || contains(status.out, "  time left: 2:00")) << status.out;
  EXPECT_EQ(status.out.find("[#"), std::string::npos) << status.out;
  auto json = SessionState::decode(hushwall({"status", "--json"}).out);
  ASSERT_TRUE(json.has_value()) << json.error().reason;
  EXPECT_EQ(json->domains, (std::vector<std::string>{"a.example", "b.example", "c.example"}));
  EXPECT_EQ(json->totalDuration, 120);

  Ran rules = hushwallFilter({"rules"});
  EXPECT_EQ(rules.status, 0) << rules.err;
  EXPECT_TRUE(rules.out.starts_with("state:   blocking\nsession: " + json->id.string() + "\n")) << rules.out;
  EXPECT_TRUE(contains(rules.out, "  b.example\n")) << rules.out;
  auto ruleSet = FilterRuleSet::decode(hushwallFilter({"rules", "--json"}).out);
  ASSERT_TRUE(ruleSet.has_value());
  EXPECT_EQ(ruleSet->sessionID, json->id);

  Ran report = hushwallFilter({"report", "--detail", "from the test"});
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_TRUE(report.out.starts_with("Reported applied, ")) << report.out;
  Ran health = hushwall({"health"});
  EXPECT_EQ(health.status, 0) << health.err;
  EXPECT_TRUE(contains(health.out, "  session:        running\n")) << health.out;
  EXPECT_TRUE(contains(health.out, "version 0.1.0 (from the test)")) << health.out;
  auto record = DaemonHealth::decode(hushwall({"health", "--json"}).out);
  ASSERT_TRUE(record.has_value());
  EXPECT_TRUE(record->hasActiveSession);
  ASSERT_TRUE(record->filter.has_value());
  EXPECT_EQ(record->filter->report.sessionID, json->id);
  EXPECT_EQ(record->filter->report.detail, "from the test");

  Ran again = hushwall({"start", "1m", "d.example", "--json"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "hushwall: " + message(DaemonError::sessionAlreadyActive) + "\n");
}

// The follower's --json lines: {"hosts": [...], "sessionID": ID or null}.
std::pair<std::vector<std::string>, std::optional<std::string>> change(const std::optional<std::string>& line) {
  if (!line) return {{"(no change seen)"}, std::nullopt};
  auto parsed = parseJson(*line);
  if (!parsed) return {{"(unparsable) " + *line}, std::nullopt};
  std::optional<std::string> id;
  if ((*parsed)["sessionID"].is_string()) id = (*parsed)["sessionID"].get<std::string>();
  return {(*parsed)["hosts"].get<std::vector<std::string>>(), id};
}

// The one minute-long session of the suites: the follower sees it start, asks
// a restarted daemon again, and the session ends on time, its clean-up after
// the doorbell and the flush.
TEST_F(ClientsTest, AMinuteSessionEndsOnTimeWhileTheFollowerSeesItAndSurvivesADaemonRestart) {
  Subprocess follow({filterProgram, "follow", "--json"});
  auto first = change(follow.nextLine(5s));
  EXPECT_EQ(first.first, std::vector<std::string>{});
  EXPECT_EQ(first.second, std::nullopt);

  auto reply = client->call("StartSession", startRequest(60, R"(["a.example","b.example"])"));
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(reply.has_value());
  auto session = SessionState::decode(*reply);
  ASSERT_TRUE(session.has_value());
  auto blocking = change(follow.nextLine(5s));
  EXPECT_EQ(blocking.second, session->id.string());
  EXPECT_EQ(blocking.first, (std::vector<std::string>{"a.example", "b.example"}));
  EXPECT_TRUE(daemon.waitForLog("filter reported: applied, 2 rules", 5s));

  // Away and back: the follower backs off, asks the new daemon, and reports to
  // it again, without a change of its own.
  daemon.kill(SIGKILL);
  ASSERT_TRUE(daemon.start());
  EXPECT_TRUE(daemon.waitForLog("filter reported: applied, 2 rules", 10s, 2));
  int doorbells = client->doorbells();

  std::size_t dnsLines = 0;
  ASSERT_TRUE(waitUntil(
      [&] {
        if (std::filesystem::exists(daemon.sessionPath())) return false;
        std::string dns = std::filesystem::exists(daemon.dnsLogPath()) ? readFile(daemon.dnsLogPath()) : "";
        dnsLines = static_cast<std::size_t>(std::count(dns.begin(), dns.end(), '\n'));  // the moment the file is gone
        return true;
      },
      90s, 20ms));
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(took, 59.5);
  EXPECT_LE(took, 66) << "the tick before the end may come up to its 5 s leeway late";
  EXPECT_EQ(dnsLines, 4u);
  EXPECT_EQ(readFile(daemon.hostsPath()), SandboxDaemon::initialHosts);
  EXPECT_TRUE(waitUntil([&] { return client->doorbells() == doorbells + 1; }, 2s));
  std::string log = daemon.log();
  auto ended = log.find("session " + session->id.string() + " ended at");
  ASSERT_NE(ended, std::string::npos) << log;
  EXPECT_NE(log.find("rang the filter's doorbell", ended), std::string::npos);

  auto idle = change(follow.nextLine(10s));
  EXPECT_EQ(idle.first, std::vector<std::string>{});
  EXPECT_EQ(idle.second, std::nullopt);
  EXPECT_EQ(follow.nextLine(1s), std::nullopt) << "a third change";
  follow.signal(SIGTERM);
  EXPECT_EQ(follow.finish(), 0);
  EXPECT_TRUE(contains(follow.err, "reported applied, 0 rules")) << follow.err;
}

}  // namespace
}  // namespace hushwall::testing
