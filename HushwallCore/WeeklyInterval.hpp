// A stretch of an abstract week of 604800 seconds that starts on Sunday 00:00
// and knows no time zones or daylight-saving changes; the overlap test's unit.
#pragma once

namespace hushwall {

struct WeeklyInterval {
  static constexpr double weekLength = 604800;

  double start = 0;   // seconds since Sunday 00:00
  double length = 0;  // seconds

  // Intervals that only touch do not overlap.
  [[nodiscard]] bool overlaps(const WeeklyInterval& other) const {
    return start < other.start + other.length && other.start < start + length;
  }

  friend bool operator==(const WeeklyInterval&, const WeeklyInterval&) = default;
};

}  // namespace hushwall
