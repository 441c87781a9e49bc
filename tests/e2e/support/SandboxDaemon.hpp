// End-to-end harness: a sandbox daemon run as a real process on the test
// process's private bus, and the files it works on.
//
// The sandbox root is compiled into the daemon, so tests that share a daemon
// executable share its root: run them one at a time (the e2e CMakeLists gives
// each daemon executable its own root and a ctest RESOURCE_LOCK). Construction
// wipes the root and lays out a fresh one: a hosts file, an empty state
// directory, and DNS stand-in tools that append their arguments to "dns.log".
// The daemon's log lines (standard error) go to "daemon.log" in the root.
//
// The private bus (tests/Platform/PrivateBus) is started on construction and
// named in DBUS_SYSTEM_BUS_ADDRESS, which the daemon inherits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/Subprocess.hpp"

namespace hushwall::testing {

using namespace std::chrono_literals;

// Polls `condition` every `interval` until it holds or `timeout` has passed;
// returns whether it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = 10ms);

class SandboxDaemon {
 public:
  static constexpr std::string_view initialHosts = "127.0.0.1\tlocalhost\n::1\tlocalhost\n";

  // `executable` is a sandbox daemon built with `root` as its sandbox root.
  SandboxDaemon(std::string executable, std::string root);
  // Kills a daemon that is still running.
  ~SandboxDaemon();
  SandboxDaemon(const SandboxDaemon&) = delete;
  SandboxDaemon& operator=(const SandboxDaemon&) = delete;

  // Starts the daemon (or `executable`, e.g. a copy at another path) and waits
  // until it owns both bus names. Fails the test and returns false otherwise.
  bool start(const std::optional<std::string>& executable = std::nullopt);
  // Sends `signal` and reaps the process.
  void kill(int signal);
  // Waits for the process to end by itself; its wait status, or none on timeout.
  [[nodiscard]] std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  [[nodiscard]] bool isRunning();
  [[nodiscard]] pid_t pid() const;

  [[nodiscard]] const std::string& root() const { return root_; }
  [[nodiscard]] const std::string& executable() const { return executable_; }
  [[nodiscard]] std::string hostsPath() const { return root_ + "/etc/hosts"; }
  [[nodiscard]] std::string stateDirectory() const { return root_ + "/var/lib/org.hushwall.daemon"; }
  [[nodiscard]] std::string sessionPath() const { return stateDirectory() + "/session.json"; }
  [[nodiscard]] std::string schedulesPath() const { return stateDirectory() + "/schedules.json"; }
  [[nodiscard]] std::string dnsLogPath() const { return root_ + "/dns.log"; }
  [[nodiscard]] std::string logPath() const { return root_ + "/daemon.log"; }

  // The daemon's log so far, and how often a line containing `text` occurs in it.
  [[nodiscard]] std::string log() const;
  [[nodiscard]] int logCount(const std::string& text) const;
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout, int count = 1) const;

  // Whether the running daemon has a file whose path contains `name` mapped.
  [[nodiscard]] bool maps(std::string_view name) const;

  // Whether both of the daemon's well-known names have an owner on the bus.
  [[nodiscard]] static bool ownsBothNames();

 private:
  std::string executable_;
  std::string root_;
  std::unique_ptr<Subprocess> process_;
};

}  // namespace hushwall::testing
