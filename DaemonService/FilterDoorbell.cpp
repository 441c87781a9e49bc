#include "DaemonService/FilterDoorbell.hpp"

#include <cstdint>
#include <string>

#include "DaemonService/FilterRulesListener.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall::FilterDoorbell {

void ring(BusConnection& bus) {
  bus.emitSignal(
      std::string(RulesService::objectPath), std::string(RulesService::interface),
      std::string(RulesService::rulesChanged), std::string(RulesService::rulesChangedNotification), [](int status) {
        const Logger log(LogSubsystem::daemon, "filter-rules");
        if (status == 0) {
          log.notice("rang the filter's doorbell");
        } else {
          log.error(cat("could not ring the filter's doorbell: notify status ", static_cast<std::uint32_t>(status)));
        }
      });
}

}  // namespace hushwall::FilterDoorbell
