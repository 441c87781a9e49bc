// A point in time as seconds (double) since 2001-01-01 00:00:00 UTC, the form in
// which every stored record and wire payload carries dates.
#pragma once

#include <compare>

namespace hushwall {

struct Date {
  // Seconds from 1970-01-01 to 2001-01-01, both UTC.
  static constexpr double unixOffset = 978307200.0;

  double sinceReferenceDate = 0;

  [[nodiscard]] static Date now();
  [[nodiscard]] static constexpr Date fromUnix(double unixSeconds) { return Date{unixSeconds - unixOffset}; }
  // 0001-01-01 00:00:00 UTC, the answer of a clock that could not be read.
  [[nodiscard]] static constexpr Date distantPast() { return Date{-63114076800.0}; }

  [[nodiscard]] constexpr double unixTime() const { return sinceReferenceDate + unixOffset; }

  friend constexpr Date operator+(Date date, double seconds) { return Date{date.sinceReferenceDate + seconds}; }
  friend constexpr Date operator-(Date date, double seconds) { return Date{date.sinceReferenceDate - seconds}; }
  // Seconds from b to a.
  friend constexpr double operator-(Date a, Date b) { return a.sinceReferenceDate - b.sinceReferenceDate; }
  friend constexpr bool operator==(Date, Date) = default;
  friend constexpr auto operator<=>(Date, Date) = default;
};

}  // namespace hushwall
