// The filter service on the bus: the well-known name
// "HW7Q3K9P2L.org.hushwall.rules", object /org/hushwall/rules, interface
// org.hushwall.FilterRules with CurrentRules, Report and the RulesChanged
// signal, admitting only callers that satisfy the filter's code requirement.
#pragma once

#include <expected>
#include <string_view>

#include "DaemonService/FilterRulesHandler.hpp"
#include "Platform/BusConnection.hpp"

namespace hushwall {

class FilterRulesListener {
 public:
  // `handler` must outlive the listener.
  FilterRulesListener(FilterRulesHandler& handler, CodeRequirement::Owner owner) : handler_(handler), owner_(owner) {}

  // Serves the object on `bus` and owns the name; fails when either is refused.
  [[nodiscard]] std::expected<void, BusError> start(BusConnection& bus);

 private:
  FilterRulesHandler& handler_;
  const CodeRequirement::Owner owner_;
};

}  // namespace hushwall
