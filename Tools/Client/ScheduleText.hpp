// Weekly schedules in the words people use: weekdays ("mon,wed,fri",
// "weekdays", "weekends", "daily"), times of day ("09:30") and a schedule named
// by its id, a unique id prefix or its exact name. Parsing and formatting are
// mirrors: what `format...` writes, `parse...` reads back.
#pragma once

#include <cstdint>
#include <expected>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Schedule.hpp"
#include "Tools/Client/Failure.hpp"

namespace hushwall::ScheduleText {

// Days as a list of names separated by commas or blanks ("sun" ... "sat", or
// the full English names, any case) or one of "weekdays", "weekends", "daily"; numbered 1 =
// Sunday ... 7 = Saturday.
[[nodiscard]] std::expected<std::set<std::int64_t>, Failure> parseWeekdays(std::string_view text);
// "Mon Tue Wed", Monday first; "daily" for all seven; "-" for none.
[[nodiscard]] std::string formatWeekdays(const std::set<std::int64_t>& weekdays);

// "H:MM" or "HH:MM", 24-hour, to the minute of the day (0 to 1439).
[[nodiscard]] std::expected<std::int64_t, Failure> parseTimeOfDay(std::string_view text);
[[nodiscard]] std::string formatTimeOfDay(std::int64_t minuteOfDay);

// The index of the schedule that `key` names: its id in any case, a prefix of
// at least four characters of its id text shared with no other schedule, or
// its exact name when no other schedule has that name.
[[nodiscard]] std::expected<std::size_t, Failure> find(const std::vector<Schedule>& schedules, std::string_view key);

}  // namespace hushwall::ScheduleText
