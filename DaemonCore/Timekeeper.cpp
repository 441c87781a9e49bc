#include "DaemonCore/Timekeeper.hpp"

namespace hushwall {

std::expected<void, DaemonError> Timekeeper::validate(double duration) {
  if (duration >= minSession && duration <= maxSession) return {};
  return std::unexpected(DaemonError::durationOutOfRange);
}

std::expected<SessionState, DaemonError> Timekeeper::start(std::vector<std::string> domains, double duration,
                                                           const TimeSource& now, std::optional<Uuid> scheduleID,
                                                           std::optional<std::string> scheduleName) const {
  if (auto valid = validate(duration); !valid) return std::unexpected(valid.error());
  SessionState state;
  state.schemaVersion = SessionState::currentSchemaVersion;
  state.id = Uuid::random();
  state.domains = std::move(domains);
  state.totalDuration = duration;
  state.consumed = 0;
  state.lastTick = tickAt(now);
  state.startedAt = now.wallClock();
  state.scheduleID = scheduleID;
  state.scheduleName = std::move(scheduleName);
  return state;
}

SessionState Timekeeper::tick(const SessionState& state, const TimeSource& now) const {
  double credited = credit(state.lastTick, now, maxDowntimeCreditPerBoot);
  SessionState updated = state;
  double sum = state.consumed + credited;
  updated.consumed = sum < state.totalDuration ? sum : state.totalDuration;
  updated.lastTick = tickAt(now);
  return updated;
}

Tick Timekeeper::tickAt(const TimeSource& now) {
  Tick tick;
  tick.wallClock = now.wallClock();
  tick.bootTime = now.bootTime();
  tick.continuous = now.continuous();
  tick.bootID = now.bootID();
  return tick;
}

bool Timekeeper::rebooted(const Tick& last, const TimeSource& now) {
  if (!now.bootID().empty() && !last.bootID.empty()) return now.bootID() != last.bootID;
  return now.continuous() < last.continuous;
}

double Timekeeper::credit(const Tick& last, const TimeSource& now, double downtimeCap) {
  if (rebooted(last, now)) {
    double down = now.wallClock() - last.wallClock;
    if (!(down > 0)) down = 0;
    return down <= downtimeCap ? down : downtimeCap;
  }
  double elapsed = now.continuous() - last.continuous;
  return elapsed >= 0 ? elapsed : 0;
}

}  // namespace hushwall
