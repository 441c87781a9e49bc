// Session time accounting. Within one boot, time is measured on the continuous
// clock, so setting the wall clock changes nothing and sleep counts. Across a
// reboot the down time is taken from the wall clock, never negative and at most
// `maxDowntimeCreditPerBoot`. Stateless; every reading is a live query of the
// given source, taken in the documented order.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "HushwallCore/Error.hpp"
#include "HushwallCore/SessionState.hpp"

namespace hushwall {

class Timekeeper {
 public:
  static constexpr double minSession = SessionLimits::minimum;
  static constexpr double maxSession = SessionLimits::maximum;
  static constexpr double maxDowntimeCreditPerBoot = 600;

  // Succeeds when 60 <= duration <= 86400; NaN fails.
  [[nodiscard]] static std::expected<void, DaemonError> validate(double duration);

  // A new session record: fresh id, consumed 0, lastTick read from `now`, then
  // startedAt from a further wall-clock reading. Fails only with durationOutOfRange,
  // before reading any clock.
  [[nodiscard]] std::expected<SessionState, DaemonError> start(
      std::vector<std::string> domains, double duration, const TimeSource& now,
      std::optional<Uuid> scheduleID = std::nullopt, std::optional<std::string> scheduleName = std::nullopt) const;

  // `state` with consumed credited up to now (clamped at totalDuration) and a
  // fresh lastTick read after the credit.
  [[nodiscard]] SessionState tick(const SessionState& state, const TimeSource& now) const;

  // Reads wallClock, bootTime, continuous, bootID, in that order.
  [[nodiscard]] static Tick tickAt(const TimeSource& now);
  // A different boot: by boot id when both are known, else a continuous clock that went back.
  [[nodiscard]] static bool rebooted(const Tick& last, const TimeSource& now);
  // Session seconds (zero or more) that have passed since `last`.
  [[nodiscard]] static double credit(const Tick& last, const TimeSource& now, double downtimeCap);
};

}  // namespace hushwall
