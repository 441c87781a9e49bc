// Why an open window does not start a session now, in the order the evaluator
// checks. The text form, used in logs, is the case name.
#pragma once

#include <string_view>

namespace hushwall {

enum class ScheduleSkipReason {
  paused,            // the schedule is disabled
  alreadyFired,      // this window, or a later one, already started a session
  windowNearlyOver,  // under 60 seconds of the window are left
  sessionRunning,    // a session runs, or a window that opened no later is served first
};

[[nodiscard]] std::string_view caseName(ScheduleSkipReason reason);

}  // namespace hushwall
