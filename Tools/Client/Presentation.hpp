// The text the clients print for the daemon's records. Pure functions of their
// arguments (local times use the process's time zone), so tests pin the output.
#pragma once

#include <optional>
#include <string>

#include "HushwallCore/DaemonHealth.hpp"
#include "HushwallCore/Date.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "HushwallCore/SessionState.hpp"

namespace hushwall::Presentation {

// "[#####-----]" with `width` cells between the brackets for a fraction in
// 0...1 (clamped; not-a-number shows empty).
[[nodiscard]] std::string progressBar(double fraction, std::size_t width);

// "2026-12-06 09:30:00" in the local time zone.
[[nodiscard]] std::string localTime(Date date);

// The time left of a session as of now. The daemon credits time at its ticks,
// so its record lags by up to a tick; the time since the record's last tick on
// the same continuous clock is taken off here. After a reboot (another boot
// id) or a clock that reads backwards, the record's own figure stands.
[[nodiscard]] double timeLeft(const SessionState& state, const TimeSource& clock);

// The session with `remaining` seconds left (the daemon's figure, or a live
// countdown from it): what is blocked, since when, how long is left. No final
// newline. With `bar`, the last line is a progress bar.
[[nodiscard]] std::string session(const SessionState& state, double remaining, bool bar);
inline constexpr std::string_view noSession = "No session is running.";

[[nodiscard]] std::string health(const DaemonHealth& health);

// Every schedule with its timing, lists, domains and recent runs, then the
// schedule failure reason when there is one. Ends with a newline.
[[nodiscard]] std::string schedules(const ScheduleSet& set, const std::optional<std::string>& failure);

// The rule set as the filter sees it: its state, its session and the hosts in
// force (FilterRuleSet::ruleHosts). Ends with a newline.
[[nodiscard]] std::string rules(const FilterRuleSet& rules);

}  // namespace hushwall::Presentation
