// The app service on the bus: the well-known name "org.hushwall.daemon",
// object /org/hushwall/daemon, interface org.hushwall.Daemon, admitting only
// callers that satisfy the app's code requirement, before any handler runs.
#pragma once

#include <expected>
#include <string_view>

#include "DaemonService/DaemonRequestHandler.hpp"
#include "Platform/BusConnection.hpp"

namespace hushwall {

class DaemonListener {
 public:
  // `handler` must outlive the listener.
  DaemonListener(DaemonRequestHandler& handler, CodeRequirement::Owner owner) : handler_(handler), owner_(owner) {}

  // Serves the object on `bus` and owns the name; fails when either is refused
  // (for example, another daemon already owns the name).
  [[nodiscard]] std::expected<void, BusError> start(BusConnection& bus);

 private:
  DaemonRequestHandler& handler_;
  const CodeRequirement::Owner owner_;
};

}  // namespace hushwall
