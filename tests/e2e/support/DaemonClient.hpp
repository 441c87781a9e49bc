// The test's side of the bus: the app's calls made in-process (the e2e test
// binaries are stamped as the app), the filter's calls made by running the
// stamped filter stand-in program, and the filter's doorbell counted.
#pragma once

#include <atomic>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/BusConnection.hpp"
#include "Platform/SerialQueue.hpp"

namespace hushwall::testing {

class DaemonClient {
 public:
  DaemonClient();
  ~DaemonClient();

  // A method of the app service; `payload` absent sends no argument.
  std::expected<std::string, BusError> call(const std::string& member,
                                            std::optional<std::string_view> payload = std::nullopt);
  // A method of the app service called with one string argument instead of bytes.
  std::expected<std::string, BusError> callWithString(const std::string& member, const std::string& argument);
  // org.freedesktop.DBus.GetId, the bus's own round trip.
  std::expected<std::string, BusError> busID();

  // A method of the filter service made by the filter stand-in: its reply
  // bytes, or the error name it printed.
  struct FilterReply {
    int exitStatus = 0;
    std::string output;  // reply bytes, or the error name when exitStatus != 0
  };
  static FilterReply callAsFilter(const std::string& member, const std::string& payload = {});

  // RulesChanged signals received since construction.
  [[nodiscard]] int doorbells() const { return doorbells_.load(); }

  [[nodiscard]] BusConnection& connection() { return *bus_; }

 private:
  SerialQueue queue_{"org.hushwall.test.client"};
  std::unique_ptr<BusConnection> bus_;
  std::optional<BusConnection::Subscription> subscription_;
  std::atomic<int> doorbells_{0};
};

}  // namespace hushwall::testing
