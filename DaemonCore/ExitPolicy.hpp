// The pure decision rules of the two ways the daemon ends itself: the idle exit
// and the handover to a replaced executable.
#pragma once

namespace hushwall {

namespace IdleExitPolicy {

inline constexpr double idlePeriod = 60;

// No session, not stuck, no schedules, and no request for at least a minute.
[[nodiscard]] constexpr bool shouldExit(bool hasSession, bool isStuck, double sinceLastRequest, bool hasSchedules) {
  return !hasSession && !isStuck && !hasSchedules && sinceLastRequest >= idlePeriod;
}

}  // namespace IdleExitPolicy

namespace HandoverPolicy {

inline constexpr double quietPeriod = 5;

// What is at the daemon's own executable path.
enum class Replacement {
  sameFile,     // the file the process was started from, or its identity is unknown
  missing,      // nothing can be examined at the path
  unvalidated,  // another file that does not meet the daemon's requirement
  validated,    // another file that meets it
};

// Nothing in flight worth waiting for: quiet for a while, or no client can reach us anyway.
[[nodiscard]] constexpr bool nothingToInterrupt(double sinceLastRequest, bool stillServable) {
  return sinceLastRequest >= quietPeriod || !stillServable;
}

[[nodiscard]] constexpr bool shouldRetire(Replacement replacement, bool isStuck, double sinceLastRequest,
                                          bool stillServable) {
  return replacement == Replacement::validated && !isStuck && nothingToInterrupt(sinceLastRequest, stillServable);
}

}  // namespace HandoverPolicy

}  // namespace hushwall
