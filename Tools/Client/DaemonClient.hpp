// A client connection to the daemon's two D-Bus services on the system bus
// (DBUS_SYSTEM_BUS_ADDRESS is honoured): raw calls with bytes in and out. The
// connection runs on a serial queue of its own; calls block until answered.
#pragma once

#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/BusConnection.hpp"
#include "Platform/SerialQueue.hpp"
#include "Platform/ServiceAddress.hpp"
#include "Tools/Client/Failure.hpp"

namespace hushwall {

class DaemonClient {
 public:
  // Connects to the system bus; an unavailable failure when there is none.
  [[nodiscard]] static std::expected<std::unique_ptr<DaemonClient>, Failure> connect(std::string queueLabel);
  ~DaemonClient();
  DaemonClient(const DaemonClient&) = delete;
  DaemonClient& operator=(const DaemonClient&) = delete;

  // The reply's bytes ("" for none), or the bus error as it came.
  [[nodiscard]] std::expected<std::string, BusError> call(
      const ServiceAddress& service, std::string_view method, std::optional<std::string_view> payload = std::nullopt,
      std::chrono::milliseconds timeout = std::chrono::seconds(25)) const;

  [[nodiscard]] BusConnection& connection() const { return *connection_; }
  [[nodiscard]] SerialQueue& queue() const { return *queue_; }

 private:
  DaemonClient() = default;
  std::unique_ptr<SerialQueue> queue_;  // declared first: outlives the connection
  std::unique_ptr<BusConnection> connection_;
};

}  // namespace hushwall
