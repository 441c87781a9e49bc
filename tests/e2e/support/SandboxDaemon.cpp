#include "SandboxDaemon.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

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

SandboxDaemon::~SandboxDaemon() {
  if (pid_ > 0) kill(SIGKILL);
}

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
  std::string program = executable.value_or(executable_);
  int logFile = open(logPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(logFile, STDERR_FILENO);
    int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(logFile);
  if (pid_ < 0) {
    ADD_FAILURE() << "fork failed";
    return false;
  }
  if (!waitUntil([&] { return ownsBothNames() || !isRunning(); }, 10s, 1ms) || !isRunning()) {
    ADD_FAILURE() << "the daemon did not come up; its log:\n" << log();
    return false;
  }
  return true;
}

void SandboxDaemon::kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::optional<int> SandboxDaemon::waitForExit(std::chrono::milliseconds timeout) {
  std::optional<int> status;
  waitUntil(
      [&] {
        int raw = 0;
        if (pid_ > 0 && waitpid(pid_, &raw, WNOHANG) == pid_) {
          status = raw;
          pid_ = -1;
        }
        return status.has_value();
      },
      timeout, 50ms);
  return status;
}

bool SandboxDaemon::isRunning() {
  if (pid_ <= 0) return false;
  int raw = 0;
  if (waitpid(pid_, &raw, WNOHANG) != pid_) return true;
  pid_ = -1;
  return false;
}

bool SandboxDaemon::maps(std::string_view name) const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/maps");
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
