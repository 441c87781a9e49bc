// Where the daemon's two D-Bus services live on the system bus.
#pragma once

#include <string_view>

namespace hushwall {

struct ServiceAddress {
  std::string_view busName;
  std::string_view objectPath;
  std::string_view interface;
};
inline constexpr ServiceAddress appService{"org.hushwall.daemon", "/org/hushwall/daemon", "org.hushwall.Daemon"};
inline constexpr ServiceAddress rulesService{"HW7Q3K9P2L.org.hushwall.rules", "/org/hushwall/rules",
                                             "org.hushwall.FilterRules"};
inline constexpr std::string_view rulesChangedSignal = "RulesChanged";

}  // namespace hushwall
