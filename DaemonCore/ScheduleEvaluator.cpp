#include "DaemonCore/ScheduleEvaluator.hpp"

#include <algorithm>
#include <vector>

namespace hushwall {
namespace {

// A window that may start a session; only the winner's schedule is copied.
struct Candidate {
  const Schedule* schedule;
  Date occurrence;
  double duration;
};

}  // namespace

ScheduleDecision ScheduleEvaluator::decide(const ScheduleSet& set, Date now, const ScheduleCalendar& calendar,
                                           bool hasSession) const {
  ScheduleDecision decision;
  std::vector<Candidate> candidates;
  for (const Schedule& schedule : set.schedules) {
    auto occurrence = schedule.occurrence(now, calendar);
    if (!occurrence) continue;
    auto fired = set.lastFired.find(schedule.id);
    double left = (*occurrence + schedule.duration) - now;
    if (!schedule.isEnabled) {
      decision.skipped[schedule.id] = ScheduleSkipReason::paused;
    } else if (fired != set.lastFired.end() && fired->second >= *occurrence) {
      decision.skipped[schedule.id] = ScheduleSkipReason::alreadyFired;
    } else if (left < minimumLeft) {
      decision.skipped[schedule.id] = ScheduleSkipReason::windowNearlyOver;
    } else if (hasSession) {
      decision.skipped[schedule.id] = ScheduleSkipReason::sessionRunning;
    } else {
      candidates.push_back({&schedule, *occurrence, std::min(schedule.duration, left)});
    }
  }
  if (candidates.empty()) return decision;
  std::ranges::stable_sort(candidates, [](const Candidate& a, const Candidate& b) {
    return Schedule::resolvesBefore(*a.schedule, a.occurrence, *b.schedule, b.occurrence);
  });
  for (auto other = candidates.begin() + 1; other != candidates.end(); ++other) {
    decision.skipped[other->schedule->id] = ScheduleSkipReason::sessionRunning;
  }
  const Candidate& winner = candidates.front();
  decision.start = ScheduleDecision::Start{*winner.schedule, winner.occurrence, winner.duration};
  return decision;
}

}  // namespace hushwall
