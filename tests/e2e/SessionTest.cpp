// A session through the real daemon: start, refusals, a crash and resumption,
// hostile bus input, callers without the app's identity, tampering and its
// repair, a schedule's window, and a launch that gets stuck.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "E2E.hpp"
#include "HushwallCore/DaemonHealth.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class SessionE2E : public E2ETest {
 protected:
  SessionState startSession() {
    auto reply = client.call("StartSession", startRequest(600));
    EXPECT_TRUE(reply) << (reply ? "" : reply.error().name);
    return SessionState::decode(reply.value_or("")).value_or(SessionState{});
  }
  std::optional<SessionState> current() {
    auto decoded = SessionState::decode(client.call("CurrentSession").value_or(""));
    return decoded ? std::optional(*decoded) : std::nullopt;
  }
  DaemonHealth health() {
    return DaemonHealth::decode(client.call("HealthCheck").value_or("")).value_or(DaemonHealth{});
  }
};

TEST_F(SessionE2E, StartBlocksRingsTheFilterRefusesASecondStartAndSurvivesSigkill) {
  int doorbells = client.doorbells();
  auto beforeStart = Clock::now();
  SessionState state = startSession();
  auto started = Clock::now();
  // The doorbell went out before the reply, and the DNS tools ran before it too.
  EXPECT_EQ(client.doorbells(), doorbells + 1);
  EXPECT_EQ(fileOrEmpty(daemon.dnsLog), "resolvectl flush-caches\nkillall -HUP dnsmasq\n");
  EXPECT_EQ(state.domains, std::vector<std::string>{"example.com"});
  EXPECT_EQ(state.totalDuration, 600);
  std::string hosts = readFile(daemon.hosts);
  EXPECT_TRUE(hosts.ends_with(SandboxDaemon::initialHosts) && HostsRegions::contains(hosts) &&
              hosts.contains("127.0.0.1\twww.example.com"))
      << hosts;
  EXPECT_EQ(current(), state);
  EXPECT_TRUE(health().hasActiveSession);
  EXPECT_FALSE(fileOrEmpty(cat("/proc/", daemon.pid(), "/maps")).contains("libicu"))
      << "ASCII requests and no schedules need no Unicode tables";

  auto second = client.call("StartSession", startRequest(120, R"(["other.org"])"));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().daemonError(), DaemonError::sessionAlreadyActive);
  EXPECT_TRUE(daemon.waitForLog("startSession refused: sessionAlreadyActive", 2s));
  EXPECT_EQ(readFile(daemon.hosts), hosts);
  EXPECT_EQ(client.doorbells(), doorbells + 1);

  daemon.kill(SIGKILL);
  double dead = std::chrono::duration<double>(Clock::now() - started).count();
  ASSERT_TRUE(daemon.start());
  double elapsed = std::chrono::duration<double>(Clock::now() - beforeStart).count();
  auto resumed = current();
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->id, state.id);
  EXPECT_EQ(resumed->startedAt, state.startedAt);
  EXPECT_GE(resumed->consumed, dead) << "the time the daemon was dead is consumed too";
  EXPECT_LE(resumed->consumed, elapsed);
  EXPECT_TRUE(daemon.waitForLog(cat("launch: session ", state.id.string(), " resumed, 59"), 2s)) << daemon.log();
  EXPECT_EQ(readFile(daemon.hosts), hosts);
  EXPECT_EQ(client.call("StartSession", startRequest(120)).error().daemonError(), DaemonError::sessionAlreadyActive);
}

// Guards against: one peer's undecodable, oversized, mistyped, misaddressed,
// abandoned or flooding calls stopping the daemon from serving, changing
// anything, or leaking its descriptors.
const char* const object = "/org/hushwall/daemon";
const char* const interface = "org.hushwall.Daemon";

TEST_F(SessionE2E, BadAndHostileBusInputGetsACleanErrorAndServingGoesOn) {
  auto bytes = [](std::string payload) {
    return [payload](sd_bus_message* m) { return sd_bus_message_append_array(m, 'y', payload.data(), payload.size()); };
  };
  std::function<int(sd_bus_message*)> none = [](sd_bus_message*) { return 0; };
  auto call = [&](const char* member, std::function<int(sd_bus_message*)> append, const char* to = interface,
                  const char* at = object) {
    return [=](sd_bus* bus) { return std::set{rawCall(bus, at, to, member, append)}; };
  };
  auto string = [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "[]"); };
  const std::string badDomain = dbusErrorName(DaemonError::invalidDomain);
  const std::string badSchedule = dbusErrorName(DaemonError::invalidSchedule);
  const std::string invalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
  // A way of calling, and the replies' error names.
  using Case = std::tuple<const char*, std::function<std::set<std::string>(sd_bus*)>, std::set<std::string>>;
  const std::vector<Case> cases = {
      // clang-format off
      {"undecodable start", call("StartSession", bytes("{\"domains\":")), {badDomain}},
      {"start as a string", call("StartSession", string), {invalidArgs}},
      {"undecodable schedules", call("SaveSchedules", bytes("[{]")), {badSchedule}},
      {"schedules as a string", call("SaveSchedules", string), {invalidArgs}},
      {"a start of 30 MiB, near the bus's 32 MiB limit", call("StartSession", bytes(std::string(30 << 20, '{'))), {badDomain}},
      {"the wrong interface", call("HealthCheck", none, "org.hushwall.Nope"), {"org.freedesktop.DBus.Error.UnknownMethod"}},
      {"the wrong object", call("HealthCheck", none, interface, "/org/hushwall/nope"), {"org.freedesktop.DBus.Error.UnknownObject"}},
      {"a descriptor attached", call("StartSession", [](sd_bus_message* m) { return sd_bus_message_append(m, "ayh", 2, '{', '}', 2); }), {invalidArgs}},
      // clang-format on
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
         std::pair<int, std::set<std::string>> state{1000, {}};  // calls unanswered, error names
         auto replied = [](sd_bus_message* reply, void* data, sd_bus_error*) {
           auto& [left, seen] = *static_cast<decltype(state)*>(data);
           --left;
           seen.insert(sd_bus_message_is_method_error(reply, nullptr) ? sd_bus_message_get_error(reply)->name : "");
           return 0;
         };
         for (int i = 0; i < 1000; ++i) {
           EXPECT_GE(sd_bus_call_method_async(bus, nullptr, "org.hushwall.daemon", object, interface, "HealthCheck",
                                              replied, &state, ""),
                     0);
         }
         EXPECT_GE(sd_bus_flush(bus), 0);
         EXPECT_TRUE(client.call("HealthCheck")) << "another caller is served amid the flood";
         EXPECT_TRUE(waitUntil([&] { return sd_bus_process(bus, nullptr) >= 0 && state.first == 0; }, 30s, 1ms))
             << "every call gets a reply";
         state.second.erase("org.freedesktop.DBus.Error.LimitsExceeded");  // the bus's own refusal
         return state.second;
       },
       {""}},
  };
  int doorbells = client.doorbells();
  // Files, sockets and pipes: the event loops' own timers and queues come and go as they are first armed.
  auto descriptors = [&] {
    return std::ranges::count_if(fs::directory_iterator(cat("/proc/", daemon.pid(), "/fd")), [](const auto& entry) {
      return !fs::read_symlink(entry.path()).string().starts_with("anon_inode:");
    });
  };
  const auto before = descriptors();
  for (const auto& [name, send, expected] : cases) {
    SCOPED_TRACE(name);
    sd_bus* bus = nullptr;
    ASSERT_GE(sd_bus_open_system(&bus), 0);
    EXPECT_EQ(send(bus), expected);
    sd_bus_flush_close_unref(bus);
    EXPECT_FALSE(current()) << "the daemon keeps serving, and no start got through";
    EXPECT_EQ(readFile(daemon.hosts), SandboxDaemon::initialHosts);
    EXPECT_TRUE(TemporaryDirectory::directoryNames(daemon.stateDirectory).empty());
    EXPECT_TRUE(waitUntil([&] { return descriptors() == before; }, 2s));
  }
  // The undecodable and the oversized start; the empty one of the caller that left may be refused sooner.
  EXPECT_GE(daemon.logCount("startSession: undecodable request"), 2);
  EXPECT_EQ(daemon.logCount("saveSchedules: undecodable request"), 1);
  EXPECT_EQ(client.doorbells(), doorbells);
  EXPECT_FALSE(fs::exists(daemon.dnsLog));
}

// Callers without the app's identity, busctl here and the app at the
// filter's service, are refused before any handler runs.
TEST_F(SessionE2E, CallersWithoutTheRightIdentityAreRefused) {
  for (std::string method : {"HealthCheck", "StartSession ay 2 123 125"}) {
    auto ran = Subprocess::run(
        {"sh", "-c", "busctl --system call org.hushwall.daemon /org/hushwall/daemon org.hushwall.Daemon " + method});
    EXPECT_NE(ran.status, 0);
    EXPECT_TRUE(ran.err.contains("Access denied")) << method << ": " << ran.err;
  }
  sd_bus* bus = nullptr;
  ASSERT_GE(sd_bus_open_system(&bus), 0);
  EXPECT_EQ(rawCall(bus, "/org/hushwall/rules", "org.hushwall.FilterRules", "CurrentRules", [](auto) { return 0; }),
            accessDeniedError);
  sd_bus_flush_close_unref(bus);
  EXPECT_EQ(daemon.logCount("startSession") + daemon.logCount("healthCheck") + daemon.logCount("filter asked"), 0)
      << daemon.log();
}

// Each tampering is put right by the watchers 250 ms after it, well before the next tick.
TEST_F(SessionE2E, TamperingIsRepairedWithinTheDebounce) {
  SessionState state = startSession();
  const std::string blocked = readFile(daemon.hosts);
  auto sessionIsBack = [&] {
    auto stored = SessionState::decode(fileOrEmpty(daemon.session));
    return stored && stored->id == state.id && fileMode(daemon.session) == 0600;
  };
  // A deleted hosts file comes back holding the block alone: its other lines are gone with it.
  const std::string regionOnly = blocked.substr(0, blocked.size() - SandboxDaemon::initialHosts.size());
  std::string edited = blocked;
  edited.replace(edited.find("127.0.0.1\texample.com"), 21, "127.0.0.2\texample.com");
  // Written whole and renamed into place, so that no repair reads a half-written file.
  auto replace = [](const std::string& path, const std::string& bytes, unsigned mode = 0644) {
    writeFile(path + ".new", bytes, mode);
    fs::rename(path + ".new", path);
  };
  const std::vector<std::tuple<const char*, std::function<void()>, std::string>> cases = {
      {"region line edited", [&] { replace(daemon.hosts, edited); }, blocked},
      {"region removed", [&] { replace(daemon.hosts, std::string(SandboxDaemon::initialHosts)); }, blocked},
      {"session file deleted", [&] { fs::remove(daemon.session); }, blocked},
      {"session file garbled", [&] { replace(daemon.session, "{\"schemaVersion\":3,", 0600); }, blocked},
      {"hosts file deleted", [&] { fs::remove(daemon.hosts); }, regionOnly},
  };
  for (const auto& [name, tamper, hostsAfter] : cases) {
    SCOPED_TRACE(name);
    // Each repair's own writes wake the watchers once more, and that repair
    // would mend a tampering made meanwhile: each case starts once they are
    // quiet, so that only the watcher of the file it touches can mend it.
    std::this_thread::sleep_for(2 * 250ms);
    auto tampered = Clock::now();
    tamper();
    ASSERT_TRUE(waitUntil([&] { return fileOrEmpty(daemon.hosts) == hostsAfter && sessionIsBack(); }, 3s, 5ms))
        << daemon.log();
    EXPECT_LT(Clock::now() - tampered, 1000ms);
  }
  // The line follows the write the test saw.
  EXPECT_TRUE(daemon.waitForLog("watcher: repaired the block", 2s, 3));
  EXPECT_TRUE(daemon.waitForLog("watcher: rewrote the session file", 2s, 2));
}

// The only place a saved schedule is seen to start a session in the real daemon.
TEST_F(SessionE2E, AnOpenScheduleWindowStartsASession) {
  const std::set<std::int64_t> everyDay{1, 2, 3, 4, 5, 6, 7};
  Schedule open = weeklySchedule(everyDay, localMinute(-1), 3600, 2);
  ASSERT_TRUE(
      client.call("SaveSchedules", Schedule::encodedList({weeklySchedule(everyDay, localMinute(720), 60), open})));
  std::optional<SessionState> session;
  ASSERT_TRUE(waitUntil([&] { return (session = current()).has_value(); }, 25s, 250ms)) << daemon.log();
  EXPECT_EQ(session->scheduleID, open.id);
  EXPECT_EQ(session->domains, open.domains);
  EXPECT_TRUE(fileOrEmpty(cat("/proc/", daemon.pid(), "/maps")).contains("libicui18n"))
      << "the calendar came with the schedules";
  // What is left of a window that opened one to two minutes before the save, a tick later.
  EXPECT_LE(session->totalDuration, 3600 - 60);
  EXPECT_GE(session->totalDuration, 3600 - 3 * 60);
}

// A hosts file that cannot be read makes the launch reconcile stuck: the
// daemon still serves, says so, and the filter is told the state is unknown.
TEST_F(SessionE2E, AStuckLaunchStillServesAndReportsUnknownRules) {
  daemon.kill(SIGKILL);
  fs::remove(daemon.hosts);
  fs::create_directory(daemon.hosts);
  startDaemon();
  EXPECT_TRUE(daemon.waitForLog("launch: reading the hosts file FAILED, the block is STUCK: read ", 2s))
      << daemon.log();
  EXPECT_EQ(daemon.logCount("FAILED"), 2) << "the cause once, and once that block management is off";
  EXPECT_EQ(Subprocess::run({HUSHWALL_FILTER_CLIENT, "rules"}).out, "state:   unknown\nhosts:   0\n");
  EXPECT_FALSE(health().canManageBlock);
  EXPECT_FALSE(health().hasActiveSession);
  auto refused = client.call("StartSession", startRequest(600));
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().daemonError());
}

}  // namespace
}  // namespace hushwall::testing
