// The local calendar in which schedules are evaluated: ICU's Gregorian calendar
// with a time zone and the "en_US_POSIX" locale, kept behind a small value type
// so that headers need no ICU. Weekdays are the Gregorian numbering whatever the
// locale: 1 = Sunday, 2 = Monday, ..., 7 = Saturday. ICU's calendar library
// is opened when the first calendar is made, not before (IcuLibrary).
//
// Every operation answers nothing instead of a wrong value: for an instant that
// is not finite or lies beyond about five million years from now (where ICU
// would silently clamp), and for any failure of the calendar itself.
//
// Not safe for concurrent use: every operation, const or not, works on one
// internal ICU calendar and remembers its latest answers. Copies are
// independent; give each thread its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "HushwallCore/Date.hpp"

namespace hushwall {

class ScheduleCalendar {
 public:
  // A calendar date: proleptic year (0 is 1 BC), month 1 to 12, day of month.
  struct Day {
    std::int32_t year = 0;
    std::int32_t month = 0;
    std::int32_t day = 0;
    friend bool operator==(const Day&, const Day&) = default;
  };

  // In the zone with the given Olson id. An id ICU does not know gives its
  // "Etc/Unknown" zone, which behaves as UTC; `timeZoneID()` then says so.
  [[nodiscard]] static ScheduleCalendar inTimeZone(std::string_view zoneID);
  // In the machine's time zone as detected at the moment of the call (the TZ
  // variable, else /etc/localtime). Safe to call from any thread.
  [[nodiscard]] static ScheduleCalendar systemCurrent();

  ScheduleCalendar(const ScheduleCalendar& other);
  ScheduleCalendar& operator=(const ScheduleCalendar& other);
  ScheduleCalendar(ScheduleCalendar&&) noexcept;
  ScheduleCalendar& operator=(ScheduleCalendar&&) noexcept;
  ~ScheduleCalendar();

  [[nodiscard]] std::string timeZoneID() const;

  // The local calendar date of an instant.
  [[nodiscard]] std::optional<Day> day(Date instant) const;
  // The local weekday of an instant, 1 (Sunday) to 7 (Saturday).
  [[nodiscard]] std::optional<std::int32_t> weekday(Date instant) const;
  // The instant of a local date and time of day, second 0. Out-of-range fields
  // roll over (25:00 is 01:00 of the next day). A local time that a
  // daylight-saving change skips is read with the offset before the change
  // (02:30 on a spring-forward day at 02:00 is 03:30), and one that it repeats
  // gives the later of the two instants: ICU's own rule. Nothing for a month
  // outside 1 to 12, a day outside 1 to 31 or a year beyond ±5,000,000.
  [[nodiscard]] std::optional<Date> date(const Day& day, std::int32_t hour, std::int32_t minute) const;
  // The instant `days` calendar days later (earlier when negative) at the same
  // local time of day, as ICU's day arithmetic keeps it.
  [[nodiscard]] std::optional<Date> addingDays(Date instant, std::int32_t days) const;

 private:
  struct Impl;
  explicit ScheduleCalendar(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;  // null when ICU could not build the calendar
};

}  // namespace hushwall
