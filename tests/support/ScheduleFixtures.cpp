#include "support/ScheduleFixtures.hpp"

#include <chrono>
#include <cstdio>

namespace hushwall::testing {

Uuid fixedID(std::uint64_t n) {
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-0000-0000-%012llX", static_cast<unsigned long long>(n));
  return *Uuid::parse(text);
}

Schedule weeklySchedule(std::set<std::int64_t> weekdays, std::int64_t startMinute, double duration, std::uint64_t n) {
  return Schedule(fixedID(n), "Focus " + std::to_string(n), true, std::move(weekdays), startMinute, duration,
                  {BlocklistRef(fixedID(1000 + n), "Work")}, {"example.com"});
}

Date utc(int year, unsigned month, unsigned day, int hour, int minute, int second) {
  using namespace std::chrono;
  auto days = sys_days{std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day}};
  return Date::fromUnix(static_cast<double>(days.time_since_epoch().count()) * 86400 + hour * 3600 + minute * 60 +
                        second);
}

}  // namespace hushwall::testing
