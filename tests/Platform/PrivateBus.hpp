// A private dbus-daemon for one test process (or benchmark), started with the
// repository's configuration; DBUS_SYSTEM_BUS_ADDRESS points at it, so
// sd_bus_open_system() and child processes use it. Start it before any thread
// that reads the environment; it stops when the process exits.
#pragma once

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "support/Subprocess.hpp"
#include "support/WaitUntil.hpp"

namespace hushwall::testing {

class PrivateBus {
 public:
  // Started on first use; aborts the process when dbus-daemon cannot start.
  static PrivateBus& shared(const std::string& configPath) {
    static PrivateBus bus(configPath);
    return bus;
  }
  ~PrivateBus() {
    daemon_->kill(SIGTERM);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

 private:
  explicit PrivateBus(const std::string& configPath) {
    if (mkdtemp(directory_.data()) == nullptr) std::abort();
    // Its output goes to a file: a pipe nobody drains fills with its warnings (one a call refused for
    // too many pending replies), and a dbus-daemon blocked writing one stops serving every connection.
    const std::string log = directory_ + "/log";
    daemon_ = std::make_unique<Subprocess>(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--nosyslog", "--config-file=" + configPath,
                                 "--address=unix:path=" + directory_ + "/bus", "--print-address=1"},
        log);
    std::string address;
    auto printed = [&] {
      std::ifstream in(log);
      return std::getline(in, address) && !in.eof() && address.starts_with("unix:");
    };
    if (!waitUntil(printed, std::chrono::seconds(10), std::chrono::milliseconds(1))) {
      std::fprintf(stderr, "dbus-daemon did not print its address; see %s\n", log.c_str());
      std::abort();
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }

  std::string directory_ = "/tmp/hushwall-bus-XXXXXX";
  std::unique_ptr<Subprocess> daemon_;
};

}  // namespace hushwall::testing
