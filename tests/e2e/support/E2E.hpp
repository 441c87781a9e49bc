// End-to-end harness: a sandbox daemon run as a real process on the test
// process's private bus (tests/Platform/PrivateBus, inherited through
// DBUS_SYSTEM_BUS_ADDRESS), the files it works on, and the app's and the
// filter's side of the bus.
//
// The sandbox root is compiled into the daemon, so the tests of one daemon
// executable take turns (the e2e CMakeLists gives each suite its own daemon,
// root and ctest RESOURCE_LOCK). Construction wipes the root and lays out a
// hosts file, an empty state directory, DNS stand-in tools that append their
// arguments to dns.log, and a copy of the daemon at `installed`, which tests
// may replace the way an update does. The daemon's output goes to daemon.log.
// HUSHWALL_CLIENT and HUSHWALL_FILTER_CLIENT name the command-line clients.
#pragma once

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/BusConnection.hpp"
#include "Platform/SerialQueue.hpp"
#include "support/Subprocess.hpp"
#include "support/WaitUntil.hpp"

namespace hushwall::testing {

using namespace std::chrono_literals;

std::string fileOrEmpty(const std::string& path);
// The local minute of the day, `offset` minutes from now.
std::int64_t localMinute(std::int64_t offset);

class SandboxDaemon {
 public:
  static constexpr std::string_view initialHosts = "127.0.0.1\tlocalhost\n::1\tlocalhost\n";

  SandboxDaemon(const std::string& executable, const std::string& sandbox);

  // Starts `installed` (or `executable`) and waits until it owns both bus names; fails the test otherwise.
  bool start(const std::optional<std::string>& executable = std::nullopt);
  void kill(int signal) { process_->kill(signal); }
  // The wait status once the daemon has ended by itself; none on timeout.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) { return process_->waitForExit(timeout); }
  [[nodiscard]] pid_t pid() const { return process_ ? process_->pid() : -1; }
  // Puts a copy of `file` at `installed` with a rename, as an update does.
  void replaceWith(const std::string& file) const;

  [[nodiscard]] std::string log() const { return fileOrEmpty(logFile); }
  [[nodiscard]] int logCount(std::string_view text) const;
  bool waitForLog(std::string_view text, std::chrono::milliseconds timeout, int count = 1) const;
  // The longest sinceLastRequest the daemon logged staying up idle, with or without schedules; -1 if none.
  [[nodiscard]] long longestStay(bool schedules) const;

  const std::string built, root, installed = root + "/hushwalld", hosts = root + "/etc/hosts",
                                 stateDirectory = root + "/var/lib/org.hushwall.daemon",
                                 session = stateDirectory + "/session.json", dnsLog = root + "/dns.log",
                                 logFile = root + "/daemon.log";

 private:
  std::unique_ptr<Subprocess> process_;
};

// The app's connection (the test binaries are stamped as the app), counting the filter's doorbell.
class AppClient {
 public:
  AppClient();
  // A method of the app service; `payload` absent sends no argument.
  std::expected<std::string, BusError> call(const std::string& member,
                                            std::optional<std::string_view> payload = std::nullopt);
  // org.freedesktop.DBus.GetId, the bus's own round trip.
  std::expected<std::string, BusError> busID();
  [[nodiscard]] int doorbells() const { return doorbells_.load(); }

 private:
  SerialQueue queue_{"org.hushwall.test.client"};
  std::unique_ptr<BusConnection> bus_;
  std::optional<BusConnection::Subscription> subscription_;
  std::atomic<int> doorbells_{0};
};

// A call on `bus` to the daemon's `path` and `interface`, its arguments
// appended by `append`: the reply's error name, "" on success.
std::string rawCall(sd_bus* bus, const char* path, const char* interface, const char* member,
                    const std::function<int(sd_bus_message*)>& append);

#ifdef HUSHWALL_E2E_DAEMON
class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override { startDaemon(); }
  // Starts the daemon and waits for its launch doorbell; later counts start from there.
  void startDaemon() {
    int before = client.doorbells();
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(waitUntil([&] { return client.doorbells() > before; }, 2s));
  }
  static std::string startRequest(int duration, const std::string& domainsJson = R"(["example.com"])") {
    return R"({"domains":)" + domainsJson + R"(,"duration":)" + std::to_string(duration) + "}";
  }

  SandboxDaemon daemon{HUSHWALL_E2E_DAEMON, HUSHWALL_E2E_ROOT};  // first: it starts the private bus
  AppClient client;
};
#endif

}  // namespace hushwall::testing
