// Small builders for schedule tests: fixed ids, a valid one-list schedule and
// UTC instants computed without ICU, so calendar tests check ICU against an
// independent clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>

#include "HushwallCore/Date.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall::testing {

// "00000000-0000-0000-0000-" followed by `n` as 12 hexadecimal digits.
[[nodiscard]] inline Uuid fixedID(std::uint64_t n) {
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-0000-0000-%012llX", static_cast<unsigned long long>(n));
  return *Uuid::parse(text);
}

// A schedule that passes validation: named "Focus n", enabled, one list, one domain.
[[nodiscard]] inline Schedule weeklySchedule(std::set<std::int64_t> weekdays, std::int64_t startMinute, double duration,
                                             std::uint64_t n = 1) {
  return Schedule(fixedID(n), "Focus " + std::to_string(n), true, std::move(weekdays), startMinute, duration,
                  {BlocklistRef(fixedID(1000 + n), "Work")}, {"example.com"});
}

// The instant of a UTC calendar date and time.
[[nodiscard]] inline Date utc(int year, unsigned month, unsigned day, int hour, int minute, int second = 0) {
  using namespace std::chrono;
  auto days = sys_days{std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day}};
  return Date::fromUnix(static_cast<double>(days.time_since_epoch().count()) * 86400 + hour * 3600 + minute * 60 +
                        second);
}

}  // namespace hushwall::testing
