// A private dbus-daemon for one test process (or benchmark), started with the
// repository's configuration; DBUS_SYSTEM_BUS_ADDRESS points at it, so
// sd_bus_open_system() and child processes use it. Start it before any thread
// that reads the environment; it stops when the process exits.
#pragma once

#include <memory>
#include <string>

#include "support/Subprocess.hpp"

namespace hushwall::testing {

class PrivateBus {
 public:
  // Started on first use; aborts the process when dbus-daemon cannot start.
  static PrivateBus& shared(const std::string& configPath);
  ~PrivateBus();

 private:
  explicit PrivateBus(const std::string& configPath);
  std::string directory_;
  std::unique_ptr<Subprocess> daemon_;
};

}  // namespace hushwall::testing
