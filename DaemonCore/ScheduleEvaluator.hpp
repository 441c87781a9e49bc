// Decides which open window, if any, starts a session now. A pure function of
// its arguments: it reads no clock, file or lock and changes nothing, so equal
// inputs always give equal decisions. Stateless; safe to share between threads
// (the calendar is not, see ScheduleCalendar).
#pragma once

#include "DaemonCore/ScheduleDecision.hpp"
#include "HushwallCore/Date.hpp"
#include "HushwallCore/ScheduleCalendar.hpp"
#include "HushwallCore/ScheduleSet.hpp"

namespace hushwall {

class ScheduleEvaluator {
 public:
  // A window needs this much left to start a session: the shortest session.
  static constexpr double minimumLeft = 60;

  // For each schedule with a window open at `now`, the first reason that
  // applies, in this order: paused, alreadyFired (lastFired at or after the
  // window's start), windowNearlyOver, sessionRunning (when `hasSession`).
  // Of the remaining windows the one that resolves first (Schedule::resolvesBefore)
  // starts, for what is left of it; the others are sessionRunning.
  [[nodiscard]] ScheduleDecision decide(const ScheduleSet& set, Date now, const ScheduleCalendar& calendar,
                                        bool hasSession) const;
};

}  // namespace hushwall
