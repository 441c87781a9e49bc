#include "PrivateBus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace hushwall::testing {
namespace {

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::abort();
}

}  // namespace

PrivateBus& PrivateBus::shared(const std::string& configPath) {
  static PrivateBus bus(configPath);
  return bus;
}

PrivateBus::PrivateBus(const std::string& configPath) {
  char directory[] = "/tmp/hushwall-bus-XXXXXX";
  if (mkdtemp(directory) == nullptr) fail("mkdtemp");
  directory_ = directory;
  int pipe[2];
  if (pipe2(pipe, O_CLOEXEC) != 0) fail("pipe2");

  std::string config = "--config-file=" + configPath;
  std::string listen = "--address=unix:path=" + directory_ + "/bus";
  daemon_ = fork();
  if (daemon_ < 0) fail("fork");
  if (daemon_ == 0) {
    dup2(pipe[1], 3);  // dup2 clears close-on-exec on the copy
    execlp("dbus-daemon", "dbus-daemon", "--nofork", "--nosyslog", config.c_str(), listen.c_str(), "--print-address=3",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe[1]);
  pollfd ready{pipe[0], POLLIN, 0};
  char line[512];
  ssize_t got = poll(&ready, 1, 10'000) == 1 ? read(pipe[0], line, sizeof line - 1) : -1;
  close(pipe[0]);
  if (got <= 0) fail("dbus-daemon did not print its address");
  address_.assign(line, static_cast<std::size_t>(got));
  while (!address_.empty() && (address_.back() == '\n' || address_.back() == '\0')) address_.pop_back();
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus() {
  kill(daemon_, SIGTERM);
  waitpid(daemon_, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace hushwall::testing
