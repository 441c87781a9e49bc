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

TEST_F(ClientsTest, DaemonErrorsAreShownByTheirMessage) {
  std::string manyDomains;
  for (int i = 0; i < 501; ++i) manyDomains += "d" + std::to_string(i) + ".example\n";
  const struct {
    std::vector<std::string> args;
    std::string input;
    DaemonError error;
  } cases[] = {
      {{"start", "59s", "a.example"}, "", DaemonError::durationOutOfRange},
      {{"start", "24h1s", "a.example"}, "", DaemonError::durationOutOfRange},
      {{"start", "1m", "not a domain!"}, "", DaemonError::invalidDomain},
      {{"start", "1m", "--file", "-"}, manyDomains, DaemonError::tooManyDomains},
      {{"schedules", "add", "--name", "   ", "--days", "mon", "--at", "9:00", "--for", "1h", "a.example"},
       "",
       DaemonError::invalidSchedule},
      {{"schedules", "add", "--name", "Bad", "--days", "mon", "--at", "9:00", "--for", "30s", "a.example"},
       "",
       DaemonError::invalidSchedule},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2]);
    Ran ran = hushwall(c.args, c.input);
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "hushwall: " + message(c.error) + "\n");
    EXPECT_EQ(ran.out, "");
  }
  EXPECT_EQ(hushwall({"status", "--json"}).out, "null\n");
}

TEST_F(ClientsTest, UsageErrorsSendNothingAndHelpNamesTheExitStatuses) {
  const std::vector<std::string> refused[] = {
      {"start"},           {"start", "25"},          {"start", "25m"},     {"start", "0m", "a.example"},
      {"status", "x"},     {"schedules", "pause"},   {"schedules", "nope"}, {"frobnicate"},
      {"raw"},             {"raw", "Nope"},          {"raw", "CurrentSession", "{}"},
      {"raw", "StartSession"}, {"start", "1m", "--file", "/nonexistent/domains"},
  };
  for (const auto& args : refused) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    Ran ran = hushwall(args);
    EXPECT_EQ(ran.status, 2);
    EXPECT_TRUE(ran.err.starts_with("hushwall: ")) << ran.err;
  }
  EXPECT_EQ(hushwallFilter({"report", "--outcome", "great"}).status, 2);
  EXPECT_EQ(daemon.logCount("startSession"), 0);

  const std::vector<std::string> helps[] = {{"--help"},          {"start", "--help"},  {"status", "-h"},
                                            {"schedules", "--help"}, {"health", "--help"}, {"raw", "--help"}};
  for (const auto& args : helps) {
    SCOPED_TRACE(args.front());
    Ran ran = hushwall(args);
    EXPECT_EQ(ran.status, 0);
    EXPECT_TRUE(ran.out.starts_with("Usage: hushwall")) << ran.out;
    EXPECT_TRUE(contains(ran.out, "Exit status:\n  0  success\n")) << ran.out;
  }
  for (const char* command : {"--help", "rules", "report", "follow"}) {
    SCOPED_TRACE(command);
    Ran ran = std::string_view(command) == "--help" ? hushwallFilter({command}) : hushwallFilter({command, "--help"});
    EXPECT_EQ(ran.status, 0);
    EXPECT_TRUE(ran.out.starts_with("Usage: hushwall-filter")) << ran.out;
    EXPECT_TRUE(contains(ran.out, "Exit status:")) << ran.out;
  }
}

TEST_F(ClientsTest, RawPassesBytesBothWaysUnchanged) {
  Ran empty = hushwall({"raw", "CurrentSession"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");

  // Unusual but valid JSON: spacing, key order and an unknown key pass untouched.
  Ran started = hushwall({"raw", "StartSession", " { \"duration\" : 60.0, \"x\": [1], \"domains\":[\"a.example\"]}"});
  ASSERT_EQ(started.status, 0) << started.err;
  auto current = client->call("CurrentSession");
  ASSERT_TRUE(current.has_value());
  EXPECT_EQ(started.out, *current);
  EXPECT_EQ(hushwall({"raw", "CurrentSession"}).out, *current);
  EXPECT_EQ(hushwall({"raw", "Schedules"}).out, *client->call("Schedules"));
  EXPECT_TRUE(DaemonHealth::decode(hushwall({"raw", "HealthCheck"}).out).has_value());

  const struct {
    std::vector<std::string> args;
    std::string input;
    DaemonError error;
  } errors[] = {
      {{"raw", "StartSession", R"({"domains":["b.example"],"duration":60})"}, "", DaemonError::sessionAlreadyActive},
      {{"raw", "StartSession", "-"}, R"({"domains":["b.example"]})", DaemonError::invalidDomain},
      {{"raw", "StartSession", "-"}, std::string("\0\xff", 2), DaemonError::invalidDomain},
      {{"raw", "SaveSchedules", "not json"}, "", DaemonError::invalidSchedule},
  };
  for (const auto& c : errors) {
    SCOPED_TRACE(caseName(c.error));
    Ran ran = hushwall(c.args, c.input);
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, dbusErrorName(c.error) + ": " + message(c.error) + "\n");
  }
}

TEST_F(ClientsTest, SchedulesAreAddedEditedPausedResumedAndRemoved) {
  Ran added = hushwall({"schedules", "add", "--name", "Mornings", "--days", "mon,wed,fri", "--at", "9:30", "--for",
                        "1h30m", "--list", "Work", "news.example", "social.example"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_TRUE(added.out.starts_with("Mornings\n")) << added.out;
  EXPECT_TRUE(contains(added.out, "  when:    Mon Wed Fri at 09:30 for 1h30m\n  lists:   Work\n"
                                  "  domains: news.example, social.example\n"))
      << added.out;

  auto set = ScheduleSet::decode(hushwall({"schedules", "--json"}).out);
  ASSERT_TRUE(set.has_value());
  ASSERT_EQ(set->schedules.size(), 1u);
  const Schedule saved = set->schedules.front();
  std::string prefix = saved.id.string().substr(0, 8);

  EXPECT_EQ(hushwall({"schedules", "add", "--name", "Evenings", "--days", "weekends", "--at", "20:00", "--for", "2h",
                      "games.example"})
                .status,
            0);
  Ran edited = hushwall({"schedules", "edit", prefix, "--at", "10:00", "--days", "weekdays"});
  ASSERT_EQ(edited.status, 0) << edited.err;
  EXPECT_TRUE(contains(edited.out, "  when:    Mon Tue Wed Thu Fri at 10:00 for 1h30m\n")) << edited.out;
  auto afterEdit = ScheduleSet::decode(hushwall({"schedules", "list", "--json"}).out);
  ASSERT_TRUE(afterEdit.has_value());
  ASSERT_EQ(afterEdit->schedules.size(), 2u);
  EXPECT_EQ(afterEdit->schedules[0].id, saved.id);
  EXPECT_EQ(afterEdit->schedules[0].blocklists, saved.blocklists);  // the list kept its id
  EXPECT_EQ(afterEdit->schedules[0].domains, saved.domains);

  Ran newDomains = hushwall({"schedules", "edit", "Evenings", "chess.example", "--file", "-"}, "go.example\n");
  EXPECT_TRUE(contains(newDomains.out, "  domains: chess.example, go.example\n")) << newDomains.out;
  Ran paused = hushwall({"schedules", "pause", "Evenings"});
  EXPECT_TRUE(contains(paused.out, "Evenings (paused)\n")) << paused.out;
  EXPECT_FALSE(contains(paused.out, "Mornings (paused)")) << paused.out;
  EXPECT_FALSE(contains(hushwall({"schedules", "resume", "Evenings"}).out, "(paused)"));
  Ran ambiguous = hushwall({"schedules", "remove", "nope"});
  EXPECT_EQ(ambiguous.status, 2);
  EXPECT_EQ(ambiguous.err, "hushwall: no schedule \"nope\"\n");
  EXPECT_EQ(hushwall({"schedules", "remove", saved.id.string()}).status, 0);
  Ran removed = hushwall({"schedules", "remove", "Evenings"});
  EXPECT_EQ(removed.out, "No schedules.\n");
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
