// Durations as people type and read them: "90s", "25m", "1h30m", "2h5m10s".
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "Tools/Client/Failure.hpp"

namespace hushwall::HumanDuration {

// Whole seconds from one to three parts, each a decimal count followed by "h",
// "m" or "s", in that order and each at most once. No signs, spaces, fractions
// or bare numbers. Zero and totals beyond 2^53 seconds are refused; the
// daemon's own range (60 s to 24 h) is left to the daemon. Failures are usage
// failures that quote the text.
[[nodiscard]] std::expected<double, Failure> parse(std::string_view text);

// The same notation, rounded up to whole seconds so that time still left never
// reads as nothing: 5400 -> "1h30m", 90 -> "1m30s", 0.2 -> "1s", 0 -> "0s".
// Negative or not-a-number reads as "0s".
[[nodiscard]] std::string format(double seconds);

// A clock face for countdowns, rounded up: "59:59", "1:00:00", "0:05".
[[nodiscard]] std::string countdown(double seconds);

}  // namespace hushwall::HumanDuration
