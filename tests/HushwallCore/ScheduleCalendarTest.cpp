// Window arithmetic in real time zones. Expected instants are written in UTC
// and computed without ICU, so each case checks ICU's local-time conversion
// against an independent clock. Weekdays: 1 = Sunday ... 7 = Saturday.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/ScheduleCalendar.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

using testing::utc;
using testing::weeklySchedule;

constexpr std::int64_t sunday = 1, monday = 2, saturday = 7;

TEST(ScheduleCalendar, SystemCurrentDetectsTheZoneAfreshOnEveryCall) {
  const char* saved = std::getenv("TZ");
  const std::string previous = saved != nullptr ? saved : "";
  for (const char* zone : {"Australia/Sydney", "America/New_York"}) {
    ::setenv("TZ", zone, 1);
    EXPECT_EQ(ScheduleCalendar::systemCurrent().timeZoneID(), zone);
  }
  saved != nullptr ? ::setenv("TZ", previous.c_str(), 1) : ::unsetenv("TZ");
}

TEST(ScheduleOccurrence, WindowsInRealTimeZones) {
  // clang-format off
  const struct { const char* what; const char* zone; std::set<std::int64_t> weekdays; std::int64_t startMinute; double duration; Date probe; std::optional<Date> expected; } rows[] = {
      // Across midnight.
      {"New York: Monday 23:00 EST for 2h contains Tuesday 2024-01-16 00:30 EST", "America/New_York", {monday}, 1380, 7200, utc(2024, 1, 16, 5, 30), utc(2024, 1, 16, 4, 0)},
      {"New York: the same window does not contain its end, Tuesday 01:00 EST", "America/New_York", {monday}, 1380, 7200, utc(2024, 1, 16, 6, 0), std::nullopt},
      {"New York: the same window contains its start, Monday 23:00 EST", "America/New_York", {monday}, 1380, 7200, utc(2024, 1, 16, 4, 0), utc(2024, 1, 16, 4, 0)},
      {"New York: one second before Monday 23:00 EST is outside", "America/New_York", {monday}, 1380, 7200, utc(2024, 1, 16, 3, 59, 59), std::nullopt},
      {"UTC: Saturday 23:30 for 1h contains Sunday 2024-01-14 00:15", "UTC", {saturday}, 1410, 3600, utc(2024, 1, 14, 0, 15), utc(2024, 1, 13, 23, 30)},
      // Northern spring forward: New York 2024-03-10 02:00 EST -> 03:00 EDT.
      {"New York: Saturday 23:00 EST for 4h lasts 4 absolute hours, to Sunday 04:00 EDT (08:00Z)", "America/New_York", {saturday}, 1380, 14400, utc(2024, 3, 10, 7, 59, 59), utc(2024, 3, 10, 4, 0)},
      {"New York: that window has closed at Sunday 04:00 EDT", "America/New_York", {saturday}, 1380, 14400, utc(2024, 3, 10, 8, 0), std::nullopt},
      {"New York: Saturday 23:30 EST for 24h still holds Monday 00:15 EDT, two local days on", "America/New_York", {saturday}, 1410, 86400, utc(2024, 3, 11, 4, 15), utc(2024, 3, 10, 4, 30)},
      {"New York: Sunday 02:30 is skipped; the window opens at 03:30 EDT", "America/New_York", {sunday}, 150, 3600, utc(2024, 3, 10, 7, 30), utc(2024, 3, 10, 7, 30)},
      {"New York: nothing is open at 03:29:59 EDT for the skipped 02:30", "America/New_York", {sunday}, 150, 3600, utc(2024, 3, 10, 7, 29, 59), std::nullopt},
      {"New York: on the 23-hour Sunday two daily 24h windows contain 12:30 EDT; the later (12:00 EDT) wins", "America/New_York", {1, 2, 3, 4, 5, 6, 7}, 720, 86400, utc(2024, 3, 10, 16, 30), utc(2024, 3, 10, 16, 0)},
      // Northern fall back: New York 2024-11-03 02:00 EDT -> 01:00 EST.
      {"New York: Sunday 01:30 happens twice; the first pass (01:45 EDT) is before the window", "America/New_York", {sunday}, 90, 3600, utc(2024, 11, 3, 5, 45), std::nullopt},
      {"New York: Sunday 01:30 opens at the second pass, 01:30 EST", "America/New_York", {sunday}, 90, 3600, utc(2024, 11, 3, 6, 30), utc(2024, 11, 3, 6, 30)},
      {"New York: Saturday 23:00 EDT for 4h runs to Sunday 02:00 EST (07:00Z)", "America/New_York", {saturday}, 1380, 14400, utc(2024, 11, 3, 6, 59, 59), utc(2024, 11, 3, 3, 0)},
      {"New York: on the 25-hour Sunday a daily 24h window at 12:00 leaves 11:00 to 12:00 EST uncovered", "America/New_York", {1, 2, 3, 4, 5, 6, 7}, 720, 86400, utc(2024, 11, 3, 16, 30), std::nullopt},
      // A second northern zone: Berlin 2024-03-31 02:00 CET -> 03:00 CEST.
      {"Berlin: Sunday 02:30 is skipped; the window opens at 03:30 CEST", "Europe/Berlin", {sunday}, 150, 3600, utc(2024, 3, 31, 1, 30), utc(2024, 3, 31, 1, 30)},
      // Southern fall back: Sydney 2024-04-07 03:00 AEDT -> 02:00 AEST.
      {"Sydney: Sunday 02:30 happens twice; the first pass (02:45 AEDT) is before the window", "Australia/Sydney", {sunday}, 150, 1800, utc(2024, 4, 6, 15, 45), std::nullopt},
      {"Sydney: Sunday 02:30 opens at the second pass, 02:30 AEST", "Australia/Sydney", {sunday}, 150, 1800, utc(2024, 4, 6, 16, 30), utc(2024, 4, 6, 16, 30)},
      {"Sydney: Saturday 23:00 AEDT for 4h runs to Sunday 02:00 AEST (16:00Z)", "Australia/Sydney", {saturday}, 1380, 14400, utc(2024, 4, 6, 15, 59, 59), utc(2024, 4, 6, 12, 0)},
      // Southern spring forward: Sydney 2024-10-06 02:00 AEST -> 03:00 AEDT.
      {"Sydney: Sunday 02:30 is skipped; the window opens at 03:30 AEDT", "Australia/Sydney", {sunday}, 150, 3600, utc(2024, 10, 5, 16, 30), utc(2024, 10, 5, 16, 30)},
      {"Sydney: nothing is open at 03:29:59 AEDT for the skipped 02:30", "Australia/Sydney", {sunday}, 150, 3600, utc(2024, 10, 5, 16, 29, 59), std::nullopt},
      {"Sydney: Saturday 23:00 AEST for 5h runs to Sunday 05:00 AEDT (18:00Z)", "Australia/Sydney", {saturday}, 1380, 18000, utc(2024, 10, 5, 17, 59, 59), utc(2024, 10, 5, 13, 0)},
      {"Sydney: that window has closed at Sunday 05:00 AEDT", "Australia/Sydney", {saturday}, 1380, 18000, utc(2024, 10, 5, 18, 0), std::nullopt},
      // Half-hour shifts: Lord Howe 2024-10-06 02:00 LHST (+10:30) -> 02:30 LHDT (+11),
      // and 2024-04-07 02:00 LHDT -> 01:30 LHST.
      {"Lord Howe: Sunday 02:15 is skipped; the window opens at 02:45 LHDT", "Australia/Lord_Howe", {sunday}, 135, 3600, utc(2024, 10, 5, 15, 45), utc(2024, 10, 5, 15, 45)},
      {"Lord Howe: nothing is open at 02:44:59 LHDT for the skipped 02:15", "Australia/Lord_Howe", {sunday}, 135, 3600, utc(2024, 10, 5, 15, 44, 59), std::nullopt},
      {"Lord Howe: Saturday 23:00 LHST for 4h runs to Sunday 03:30 LHDT (16:30Z)", "Australia/Lord_Howe", {saturday}, 1380, 14400, utc(2024, 10, 5, 16, 29, 59), utc(2024, 10, 5, 12, 30)},
      {"Lord Howe: Sunday 01:45 happens twice; the first pass (01:50 LHDT) is before the window", "Australia/Lord_Howe", {sunday}, 105, 1800, utc(2024, 4, 6, 14, 50), std::nullopt},
      {"Lord Howe: Sunday 01:45 opens at the second pass, 01:45 LHST", "Australia/Lord_Howe", {sunday}, 105, 1800, utc(2024, 4, 6, 15, 15), utc(2024, 4, 6, 15, 15)},
  };
  // clang-format on
  auto show = [](std::optional<Date> date) { return date ? std::to_string(date->unixTime()) : std::string("nothing"); };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScheduleCalendar calendar = ScheduleCalendar::inTimeZone(row.zone);
    ASSERT_EQ(calendar.timeZoneID(), row.zone);
    EXPECT_EQ(show(weeklySchedule(row.weekdays, row.startMinute, row.duration).occurrence(row.probe, calendar)),
              show(row.expected));
  }
}

}  // namespace
}  // namespace hushwall
