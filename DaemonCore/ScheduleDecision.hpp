// What the schedules ask for at one instant: at most one window that starts a
// session, and the reason for every other open window.
#pragma once

#include <map>
#include <optional>

#include "DaemonCore/ScheduleSkipReason.hpp"
#include "HushwallCore/Date.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

struct ScheduleDecision {
  struct Start {
    Schedule schedule;    // whose window starts the session
    Date occurrence;      // the window's start
    double duration = 0;  // what is left of the window, in seconds

    friend bool operator==(const Start&, const Start&) = default;
  };

  std::optional<Start> start;
  // Every other schedule with an open window; schedules without one are absent.
  std::map<Uuid, ScheduleSkipReason> skipped;

  [[nodiscard]] static ScheduleDecision nothingToDo() { return {}; }

  friend bool operator==(const ScheduleDecision&, const ScheduleDecision&) = default;
};

}  // namespace hushwall
