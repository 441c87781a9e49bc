// Where the daemon's two D-Bus services live on the system bus, as one value a
// client can pass around; the names themselves are defined once in Identity.
#pragma once

#include <string_view>

#include "HushwallCore/Identity.hpp"

namespace hushwall {

struct ServiceAddress {
  std::string_view busName;
  std::string_view objectPath;
  std::string_view interface;
};
inline constexpr ServiceAddress appService{AppService::busName, AppService::objectPath, AppService::interface};
inline constexpr ServiceAddress rulesService{RulesService::busName, RulesService::objectPath, RulesService::interface};
inline constexpr std::string_view rulesChangedSignal = RulesService::rulesChanged;

}  // namespace hushwall
