#include "PrivateBus.hpp"

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

namespace hushwall::testing {

PrivateBus& PrivateBus::shared(const std::string& configPath) {
  static PrivateBus bus(configPath);
  return bus;
}

PrivateBus::PrivateBus(const std::string& configPath) : directory_("/tmp/hushwall-bus-XXXXXX") {
  if (mkdtemp(directory_.data()) == nullptr) std::abort();
  daemon_ = std::make_unique<Subprocess>(
      std::vector<std::string>{"dbus-daemon", "--nofork", "--nosyslog", "--config-file=" + configPath,
                               "--address=unix:path=" + directory_ + "/bus", "--print-address=1"});
  auto address = daemon_->nextLine(std::chrono::seconds(10));
  if (!address || address->empty()) {
    std::fprintf(stderr, "dbus-daemon did not print its address: %s\n", daemon_->err.c_str());
    std::abort();
  }
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address->c_str(), 1);
}

PrivateBus::~PrivateBus() {
  daemon_->kill(SIGTERM);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace hushwall::testing
