// A session through the real daemon: start, refusals, hostile bus input,
// tampering and its repair, a crash and resumption, the end on time, the
// filter channel, and a caller without the app's identity.
#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "E2ETest.hpp"
#include "HushwallCore/DaemonHealth.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/FilterReport.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/Subprocess.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::optional<SessionState> decodeSession(const std::expected<std::string, BusError>& reply) {
  if (!reply || reply->empty()) return std::nullopt;
  auto decoded = SessionState::decode(*reply);
  return decoded ? std::optional(*decoded) : std::nullopt;
}

std::string fileOrEmpty(const std::string& path) { return fs::exists(path) ? readFile(path) : std::string(); }

class SessionE2E : public E2ETest {
 protected:
  SessionState startSession(double duration) {
    auto reply = client->call("StartSession", startRequest(duration));
    EXPECT_TRUE(reply) << (reply ? "" : reply.error().name);
    auto state = decodeSession(reply);
    EXPECT_TRUE(state);
    return state.value_or(SessionState{});
  }

  std::optional<SessionState> current() { return decodeSession(client->call("CurrentSession")); }

  DaemonHealth health() {
    auto reply = client->call("HealthCheck");
    EXPECT_TRUE(reply);
    auto decoded = DaemonHealth::decode(reply.value_or(""));
    EXPECT_TRUE(decoded);
    return decoded.value_or(DaemonHealth{});
  }
};

TEST_F(SessionE2E, StartBlocksRingsTheFilterThenFlushesAndRefusesASecondStart) {
  int doorbells = client->doorbells();
  SessionState state = startSession(600);
  // The doorbell went out before the reply, and the DNS tools ran before it too.
  EXPECT_EQ(client->doorbells(), doorbells + 1);
  EXPECT_EQ(fileOrEmpty(daemon.dnsLogPath()), "resolvectl flush-caches\nkillall -HUP dnsmasq\n");

  EXPECT_EQ(state.domains, std::vector<std::string>{"example.com"});
  EXPECT_EQ(state.totalDuration, 600);
  std::string hosts = readFile(daemon.hostsPath());
  EXPECT_TRUE(hosts.ends_with(SandboxDaemon::initialHosts)) << hosts;
  EXPECT_TRUE(HostsRegions::contains(hosts)) << hosts;
  EXPECT_NE(hosts.find("127.0.0.1\twww.example.com"), std::string::npos) << hosts;
  EXPECT_EQ(fileMode(daemon.sessionPath()), 0600);
  auto stored = SessionState::decode(readFile(daemon.sessionPath()));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->id, state.id);
  EXPECT_EQ(current(), state);
  EXPECT_TRUE(health().hasActiveSession);

  auto second = client->call("StartSession", startRequest(120, R"(["other.org"])"));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().daemonError(), DaemonError::sessionAlreadyActive);
  EXPECT_EQ(second.error().message, message(DaemonError::sessionAlreadyActive));
  EXPECT_TRUE(daemon.waitForLog("startSession refused: sessionAlreadyActive", 2s));
  EXPECT_EQ(readFile(daemon.hostsPath()), hosts);
  EXPECT_EQ(client->doorbells(), doorbells + 1);
  EXPECT_FALSE(daemon.maps("libicu")) << "ASCII requests and no schedules need no Unicode tables";
}

TEST_F(SessionE2E, BadPayloadsGetTheirErrorAndChangeNothing) {
  struct Case {
    const char* name;
    std::string member;
    std::optional<std::string> bytes;  // none: sent as a string argument
    std::string expectedError;
  };
  const std::vector<Case> cases = {
      {"undecodable start", "StartSession", std::string("{\"domains\":"), dbusErrorName(DaemonError::invalidDomain)},
      {"empty start", "StartSession", std::string(), dbusErrorName(DaemonError::invalidDomain)},
      {"start without duration", "StartSession", std::string(R"({"domains":["example.com"]})"),
       dbusErrorName(DaemonError::invalidDomain)},
      {"start as a string", "StartSession", std::nullopt, "org.freedesktop.DBus.Error.InvalidArgs"},
      {"undecodable schedules", "SaveSchedules", std::string("[{]"), dbusErrorName(DaemonError::invalidSchedule)},
      {"empty schedules", "SaveSchedules", std::string(), dbusErrorName(DaemonError::invalidSchedule)},
      {"schedules as a string", "SaveSchedules", std::nullopt, "org.freedesktop.DBus.Error.InvalidArgs"},
  };
  int doorbells = client->doorbells();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto reply = c.bytes ? client->call(c.member, *c.bytes) : client->callWithString(c.member, "[]");
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error().name, c.expectedError);
    EXPECT_FALSE(current());
    EXPECT_EQ(readFile(daemon.hostsPath()), SandboxDaemon::initialHosts);
    EXPECT_TRUE(TemporaryDirectory::directoryNames(daemon.stateDirectory()).empty());
  }
  EXPECT_EQ(daemon.logCount("startSession: undecodable request"), 3);
  EXPECT_EQ(daemon.logCount("saveSchedules: undecodable request"), 2);
  EXPECT_EQ(client->doorbells(), doorbells);
  EXPECT_FALSE(fs::exists(daemon.dnsLogPath()));
}

// A raw call on a connection of its own: the reply's error name, "" on success.
std::string rawCall(sd_bus* bus, const char* path, const char* interface, const char* member,
                    const std::function<int(sd_bus_message*)>& append) {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_message_new_method_call(bus, &call, "org.hushwall.daemon", path, interface, member);
  if (r >= 0) r = append(call);
  if (r >= 0) r = sd_bus_call(bus, call, 30'000'000, &error, &reply);
  std::string name = r >= 0 ? "" : error.name ? error.name : "errno " + std::to_string(-r);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return name;
}

// Guards against: one peer's oversized, mistyped, misaddressed, abandoned or
// flooding calls stopping the daemon from serving, or leaking its descriptors.
TEST_F(SessionE2E, HostileBusInputGetsACleanErrorOrIsDroppedAndServingGoesOn) {
  const char* object = "/org/hushwall/daemon";
  const char* interface = "org.hushwall.Daemon";
  auto bytes = [](std::string payload) {
    return [payload](sd_bus_message* m) { return sd_bus_message_append_array(m, 'y', payload.data(), payload.size()); };
  };
  auto none = [](sd_bus_message*) { return 0; };
  struct Case {
    const char* name;
    std::function<std::set<std::string>(sd_bus*)> send;  // the replies' error names
    std::set<std::string> expected;
  };
  const std::string undecodable = dbusErrorName(DaemonError::invalidDomain);
  const std::vector<Case> cases = {
      {"a start of 30 MiB, near the bus's 32 MiB limit",
       [&](sd_bus* bus) {
         return std::set{rawCall(bus, object, interface, "StartSession", bytes(std::string(30 << 20, '{')))};
       },
       {undecodable}},
      {"a descriptor attached",
       [&](sd_bus* bus) {
         int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
         auto sent = rawCall(bus, object, interface, "StartSession", [&](sd_bus_message* m) {
           int r = bytes("{}")(m);
           return r < 0 ? r : sd_bus_message_append(m, "h", fd);
         });
         ::close(fd);
         return std::set{sent};
       },
       {"org.freedesktop.DBus.Error.InvalidArgs"}},
      {"the wrong interface",
       [&](sd_bus* bus) { return std::set{rawCall(bus, object, "org.hushwall.Nope", "HealthCheck", none)}; },
       {"org.freedesktop.DBus.Error.UnknownMethod"}},
      {"the wrong object",
       [&](sd_bus* bus) { return std::set{rawCall(bus, "/org/hushwall/nope", interface, "HealthCheck", none)}; },
       {"org.freedesktop.DBus.Error.UnknownObject"}},
      {"a caller gone before the reply",
       [&](sd_bus* bus) {
         EXPECT_GE(sd_bus_call_method_async(bus, nullptr, "org.hushwall.daemon", object, interface, "StartSession",
                                            nullptr, nullptr, "ay", 0),
                   0);
         EXPECT_GE(sd_bus_flush(bus), 0);
         return std::set<std::string>{};
       },
       {}},
      {"1,000 calls in flight on one connection, past the bus's 128 pending replies",
       [&](sd_bus* bus) {
         std::set<std::string> names;
         int pending = 1000;
         auto replied = [](sd_bus_message* reply, void* state, sd_bus_error*) {
           auto& [left, seen] = *static_cast<std::pair<int*, std::set<std::string>*>*>(state);
           --*left;
           seen->insert(sd_bus_message_is_method_error(reply, nullptr) ? sd_bus_message_get_error(reply)->name : "");
           return 0;
         };
         std::pair<int*, std::set<std::string>*> state{&pending, &names};
         for (int i = 0; i < 1000; ++i) {
           EXPECT_GE(sd_bus_call_method_async(bus, nullptr, "org.hushwall.daemon", object, interface, "HealthCheck",
                                              replied, &state, ""),
                     0);
         }
         EXPECT_GE(sd_bus_flush(bus), 0);
         EXPECT_TRUE(client->call("HealthCheck")) << "another caller is served amid the flood";
         auto deadline = Clock::now() + 30s;
         while (pending > 0 && Clock::now() < deadline) {
           if (sd_bus_process(bus, nullptr) == 0) (void)sd_bus_wait(bus, 100'000);
         }
         EXPECT_EQ(pending, 0) << "every call gets a reply";
         names.erase("org.freedesktop.DBus.Error.LimitsExceeded");  // the bus's own refusal, never the daemon's
         return names;
       },
       {""}},
  };
  // Files, sockets and pipes: the event loops' own timers and queues come and go as they are first armed.
  auto descriptors = [&] {
    return std::ranges::count_if(fs::directory_iterator(cat("/proc/", daemon.pid(), "/fd")), [](const auto& entry) {
      return !fs::read_symlink(entry.path()).string().starts_with("anon_inode:");
    });
  };
  const auto before = descriptors();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_open_system(&bus), 0);
    EXPECT_EQ(c.send(bus), c.expected);
    sd_bus_flush_close_unref(bus);
    EXPECT_TRUE(client->call("HealthCheck")) << "the daemon keeps serving";
    EXPECT_TRUE(waitUntil([&] { return descriptors() == before; }, 2s));
  }
  EXPECT_FALSE(current()) << "no start got through";
}

// Each tampering is put right by the watchers 250 ms after it, well before the next tick.
TEST_F(SessionE2E, TamperingIsRepairedWithinTheDebounce) {
  SessionState state = startSession(600);
  const std::string blocked = readFile(daemon.hostsPath());
  auto sessionIsBack = [&] {
    if (!fs::exists(daemon.sessionPath())) return false;
    auto stored = SessionState::decode(readFile(daemon.sessionPath()));
    return stored && stored->id == state.id && fileMode(daemon.sessionPath()) == 0600;
  };
  struct Case {
    const char* name;
    std::function<void()> tamper;
    std::string hostsAfter;
  };
  // A deleted hosts file comes back holding the block alone: its other lines are gone with it.
  const std::string regionOnly = blocked.substr(0, blocked.size() - SandboxDaemon::initialHosts.size());
  const std::vector<Case> cases = {
      {"region line edited",
       [&] {
         std::string edited = blocked;
         edited.replace(edited.find("127.0.0.1\texample.com"), 21, "127.0.0.2\texample.com");
         writeFile(daemon.hostsPath(), edited);
       },
       blocked},
      {"region removed", [&] { writeFile(daemon.hostsPath(), std::string(SandboxDaemon::initialHosts)); }, blocked},
      {"session file deleted", [&] { fs::remove(daemon.sessionPath()); }, blocked},
      {"session file garbled", [&] { writeFile(daemon.sessionPath(), "{\"schemaVersion\":3,", 0600); }, blocked},
      {"hosts file deleted", [&] { fs::remove(daemon.hostsPath()); }, regionOnly},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tampered = Clock::now();
    c.tamper();
    bool repaired =
        waitUntil([&] { return fileOrEmpty(daemon.hostsPath()) == c.hostsAfter && sessionIsBack(); }, 3s, 5ms);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tampered);
    ASSERT_TRUE(repaired) << daemon.log();
    EXPECT_LT(took, 1000ms) << "repaired after " << took.count() << " ms";
  }
  // The line follows the write the test saw.
  EXPECT_TRUE(daemon.waitForLog("watcher: repaired the block", 2s, 3));
  EXPECT_TRUE(daemon.waitForLog("watcher: rewrote the session file", 2s, 2));
}

TEST_F(SessionE2E, SurvivesSigkillAndResumesTheSameSession) {
  auto beforeStart = Clock::now();
  SessionState state = startSession(600);
  auto started = Clock::now();
  daemon.kill(SIGKILL);
  double dead = std::chrono::duration<double>(Clock::now() - started).count();
  ASSERT_TRUE(fs::exists(daemon.sessionPath()));
  ASSERT_TRUE(daemon.start());
  double elapsed = std::chrono::duration<double>(Clock::now() - beforeStart).count();

  auto resumed = current();
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->id, state.id);
  EXPECT_EQ(resumed->startedAt, state.startedAt);
  EXPECT_GE(resumed->consumed, dead) << "the time the daemon was dead is consumed too";
  EXPECT_LE(resumed->consumed, elapsed);
  EXPECT_TRUE(daemon.waitForLog(cat("launch: session ", state.id.string(), " resumed, 59"), 2s)) << daemon.log();
  EXPECT_TRUE(HostsRegions::contains(readFile(daemon.hostsPath())));
  auto again = client->call("StartSession", startRequest(120));
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().daemonError(), DaemonError::sessionAlreadyActive);
}

TEST_F(SessionE2E, FilterChannelServesRulesAndKeepsTheLastReport) {
  auto rules = [] {
    auto reply = DaemonClient::callAsFilter("CurrentRules");
    EXPECT_EQ(reply.exitStatus, 0) << reply.output;
    return FilterRuleSet::decode(reply.output);
  };
  auto idle = rules();
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->state, FilterRuleSet::State::idle);
  EXPECT_TRUE(idle->domains.empty());

  SessionState state = startSession(600);
  auto blocking = rules();
  ASSERT_TRUE(blocking);
  EXPECT_EQ(blocking->state, FilterRuleSet::State::blocking);
  EXPECT_EQ(blocking->sessionID, state.id);
  EXPECT_EQ(blocking->domains, state.domains);
  EXPECT_TRUE(daemon.waitForLog("filter asked: blocking, 1 domains", 2s));
  EXPECT_FALSE(health().filter);

  // Reports padded through their detail to an exact encoded size.
  auto reportOfSize = [&](std::size_t size) {
    FilterReport report{.schemaVersion = 1,
                        .outcome = FilterReport::Outcome::applied,
                        .sessionID = state.id,
                        .ruleCount = 2,
                        .filterVersion = "1.0",
                        .detail = std::string()};
    std::size_t base = report.encoded().size();
    report.detail = std::string(size - base, 'x');
    EXPECT_EQ(report.encoded().size(), size);
    return report;
  };
  FilterReport largest = reportOfSize(FilterReport::maxEncodedSize);
  EXPECT_EQ(DaemonClient::callAsFilter("Report", largest.encoded()).exitStatus, 0);
  auto status = health().filter;
  ASSERT_TRUE(status);
  EXPECT_EQ(status->report, largest);
  EXPECT_GE(status->secondsSinceReport, 0);

  FilterReport oversized = reportOfSize(FilterReport::maxEncodedSize + 1);
  EXPECT_EQ(DaemonClient::callAsFilter("Report", oversized.encoded()).exitStatus, 0);
  EXPECT_EQ(DaemonClient::callAsFilter("Report", R"({"outcome":"exploded"})").exitStatus, 0);
  EXPECT_TRUE(daemon.waitForLog("filter report refused: 4097 bytes, oversized or undecodable", 2s));
  EXPECT_TRUE(daemon.waitForLog("filter report refused: 22 bytes, oversized or undecodable", 2s));
  status = health().filter;
  ASSERT_TRUE(status);
  EXPECT_EQ(status->report, largest);
  EXPECT_EQ(daemon.logCount("accepted the filter pid="), 5);

  // The filter's identity opens only the filter's service, and the app's only the app's.
  auto crossed = DaemonClient::callAsFilter("Nonexistent");
  EXPECT_NE(crossed.exitStatus, 0);
  auto appAsFilter = client->connection().call("HW7Q3K9P2L.org.hushwall.rules", "/org/hushwall/rules",
                                               "org.hushwall.FilterRules", "CurrentRules");
  ASSERT_FALSE(appAsFilter);
  EXPECT_EQ(appAsFilter.error().name, accessDeniedError);
}

// A caller without the app's identity, here busctl, is refused before any handler runs.
TEST_F(SessionE2E, ACallerWithoutTheAppsIdentityIsRefused) {
  for (const std::vector<std::string>& method :
       {std::vector<std::string>{"HealthCheck"}, std::vector<std::string>{"StartSession", "ay", "2", "123", "125"}}) {
    SCOPED_TRACE(method.front());
    std::vector<std::string> argv{
        "busctl", "--system", "call", "org.hushwall.daemon", "/org/hushwall/daemon", "org.hushwall.Daemon"};
    argv.insert(argv.end(), method.begin(), method.end());
    auto ran = Subprocess::run(argv);
    EXPECT_NE(ran.status, 0);
    EXPECT_NE(ran.err.find("Access denied"), std::string::npos) << ran.err;
  }
  EXPECT_EQ(daemon.logCount("accepted connection"), 0);
  EXPECT_EQ(daemon.logCount("startSession"), 0);
  EXPECT_EQ(daemon.logCount("healthCheck"), 0);
  EXPECT_FALSE(current());
}

class StuckLaunchE2E : public SessionE2E {
 protected:
  bool startsAtOnce() const override { return false; }
};

// A hosts file that cannot be read makes the launch reconcile stuck: the
// daemon still serves, says so, and the filter is told the state is unknown.
TEST_F(StuckLaunchE2E, AStuckLaunchStillServesAndReportsUnknownRules) {
  fs::remove(daemon.hostsPath());
  fs::create_directory(daemon.hostsPath());
  startDaemon();
  EXPECT_TRUE(daemon.waitForLog("launch: reading the hosts file FAILED, the block is STUCK: read ", 2s))
      << daemon.log();
  EXPECT_EQ(daemon.logCount("FAILED"), 2) << "the cause once, and once that block management is off";
  auto reply = DaemonClient::callAsFilter("CurrentRules");
  ASSERT_EQ(reply.exitStatus, 0) << reply.output;
  auto rules = FilterRuleSet::decode(reply.output);
  ASSERT_TRUE(rules);
  EXPECT_EQ(rules->state, FilterRuleSet::State::unknown);
  DaemonHealth record = health();
  EXPECT_FALSE(record.canManageBlock);
  EXPECT_FALSE(record.hasActiveSession);
  auto refused = client->call("StartSession", startRequest(600));
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().daemonError());
}

}  // namespace
}  // namespace hushwall::testing
