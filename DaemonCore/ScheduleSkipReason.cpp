#include "DaemonCore/ScheduleSkipReason.hpp"

#include "HushwallCore/CaseNames.hpp"

namespace hushwall {

std::string_view caseName(ScheduleSkipReason reason) {
  using enum ScheduleSkipReason;
  static constexpr CaseName<ScheduleSkipReason> names[] = {{paused, "paused"},
                                                           {alreadyFired, "alreadyFired"},
                                                           {windowNearlyOver, "windowNearlyOver"},
                                                           {sessionRunning, "sessionRunning"}};
  return nameIn(names, reason);
}

}  // namespace hushwall
