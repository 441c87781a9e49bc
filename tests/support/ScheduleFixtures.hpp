// Small builders for schedule tests: fixed ids, a valid one-list schedule and
// UTC instants computed without ICU, so calendar tests check ICU against an
// independent clock.
#pragma once

#include <cstdint>
#include <set>

#include "HushwallCore/Date.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall::testing {

// "00000000-0000-0000-0000-" followed by `n` as 12 hexadecimal digits.
[[nodiscard]] Uuid fixedID(std::uint64_t n);

// A schedule that passes validation: named "Focus n", enabled, one list, one domain.
[[nodiscard]] Schedule weeklySchedule(std::set<std::int64_t> weekdays, std::int64_t startMinute, double duration,
                                      std::uint64_t n = 1);

// The instant of a UTC calendar date and time.
[[nodiscard]] Date utc(int year, unsigned month, unsigned day, int hour, int minute, int second = 0);

}  // namespace hushwall::testing
