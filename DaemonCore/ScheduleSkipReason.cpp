#include "DaemonCore/ScheduleSkipReason.hpp"

namespace hushwall {

std::string_view caseName(ScheduleSkipReason reason) {
  switch (reason) {
    case ScheduleSkipReason::paused:
      return "paused";
    case ScheduleSkipReason::alreadyFired:
      return "alreadyFired";
    case ScheduleSkipReason::windowNearlyOver:
      return "windowNearlyOver";
    case ScheduleSkipReason::sessionRunning:
      return "sessionRunning";
  }
  return "unknown";
}

}  // namespace hushwall
