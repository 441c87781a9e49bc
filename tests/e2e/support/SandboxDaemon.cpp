#include "SandboxDaemon.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "PrivateBus.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {
namespace fs = std::filesystem;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
}

namespace {

void writeTool(const std::string& path, const std::string& name, const std::string& log) {
  writeFile(path, "#!/bin/sh\necho \"" + name + " $*\" >> '" + log + "'\n", 0755);
}

}  // namespace

SandboxDaemon::SandboxDaemon(std::string executable, std::string root)
    : executable_(std::move(executable)), root_(std::move(root)) {
  (void)PrivateBus::shared(HUSHWALL_SOURCE_DIR "/packaging/test-bus.conf");
  std::error_code ignored;
  fs::remove_all(root_, ignored);
  fs::create_directories(root_ + "/etc");
  fs::create_directories(root_ + "/var/lib");
  fs::create_directories(root_ + "/usr/bin");
  writeFile(hostsPath(), std::string(initialHosts));
  writeTool(root_ + "/usr/bin/resolvectl", "resolvectl", dnsLogPath());
  writeTool(root_ + "/usr/bin/killall", "killall", dnsLogPath());
}

SandboxDaemon::~SandboxDaemon() = default;

bool SandboxDaemon::ownsBothNames() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return false;
  bool owned = true;
  for (const char* name : {"org.hushwall.daemon", "HW7Q3K9P2L.org.hushwall.rules"}) {
    sd_bus_message* reply = nullptr;
    int has = 0;
    owned = owned &&
            sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", name) >= 0 &&
            sd_bus_message_read(reply, "b", &has) >= 0 && has != 0;
    sd_bus_message_unref(reply);
  }
  sd_bus_flush_close_unref(bus);
  return owned;
}

bool SandboxDaemon::start(const std::optional<std::string>& executable) {
  process_ = std::make_unique<Subprocess>(std::vector<std::string>{executable.value_or(executable_)}, logPath());
  if (!waitUntil([&] { return ownsBothNames() || !isRunning(); }, 10s, 1ms) || !isRunning()) {
    ADD_FAILURE() << "the daemon did not come up; its log:\n" << log();
    return false;
  }
  return true;
}

void SandboxDaemon::kill(int signal) {
  if (process_) process_->kill(signal);
}

std::optional<int> SandboxDaemon::waitForExit(std::chrono::milliseconds timeout) {
  return process_ ? process_->waitForExit(timeout) : std::nullopt;
}

bool SandboxDaemon::isRunning() { return process_ && process_->isRunning(); }

pid_t SandboxDaemon::pid() const { return process_ ? process_->pid() : -1; }

bool SandboxDaemon::maps(std::string_view name) const {
  std::ifstream in("/proc/" + std::to_string(pid()) + "/maps");
  for (std::string line; std::getline(in, line);) {
    if (line.find(name) != std::string::npos) return true;
  }
  return false;
}

std::string SandboxDaemon::log() const {
  std::ifstream in(logPath());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int SandboxDaemon::logCount(const std::string& text) const {
  std::string all = log();
  int count = 0;
  for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++count;
  return count;
}

bool SandboxDaemon::waitForLog(const std::string& text, std::chrono::milliseconds timeout, int count) const {
  return waitUntil([&] { return logCount(text) >= count; }, timeout, 20ms);
}

}  // namespace hushwall::testing
