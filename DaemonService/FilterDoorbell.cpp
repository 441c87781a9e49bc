#include "DaemonService/FilterDoorbell.hpp"

#include <cstdint>
#include <string>

#include "DaemonService/FilterRulesListener.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall::FilterDoorbell {

void ring(BusConnection& bus) {
  bus.emitSignal(std::string(FilterRulesListener::objectPath), std::string(FilterRulesListener::interface),
                 std::string(FilterRulesListener::rulesChangedSignal),
                 std::string(FilterIdentity::rulesChangedNotification), [](int status) {
                   const Logger log(LogSubsystem::daemon, "filter-rules");
                   if (status == 0) {
                     log.notice("rang the filter's doorbell");
                   } else {
                     log.error(cat("could not ring the filter's doorbell: notify status ",
                                   static_cast<std::uint32_t>(status)));
                   }
                 });
}

}  // namespace hushwall::FilterDoorbell
