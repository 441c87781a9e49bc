#include "HushwallCore/Schedule.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "HushwallCore/DomainValidator.hpp"
#include "HushwallCore/Json.hpp"
#include "HushwallCore/ListNames.hpp"
#include "HushwallCore/Text.hpp"

namespace hushwall {
namespace {

bool opensOn(const Schedule& schedule, Date day, const ScheduleCalendar& calendar) {
  auto weekday = calendar.weekday(day);
  return weekday && schedule.weekdays.contains(*weekday);
}

// The window start on the local date of `day`. The calendar rolls fields over,
// so only a start minute whose hour does not fit its fields has no window.
std::optional<Date> windowStart(const Schedule& schedule, Date day, const ScheduleCalendar& calendar) {
  std::int64_t hour = schedule.startMinute / 60;
  if (hour < std::numeric_limits<std::int32_t>::min() || hour > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  auto localDay = calendar.day(day);
  if (!localDay) return std::nullopt;
  return calendar.date(*localDay, static_cast<std::int32_t>(hour),
                       static_cast<std::int32_t>(schedule.startMinute % 60));
}

}  // namespace

Schedule::Schedule(Uuid scheduleID, std::string scheduleName, bool enabled, std::set<std::int64_t> days,
                   std::int64_t minute, double seconds, std::vector<BlocklistRef> lists,
                   std::vector<std::string> blockedDomains, std::optional<Date> from)
    : id(scheduleID),
      name(std::move(scheduleName)),
      isEnabled(enabled),
      weekdays(std::move(days)),
      startMinute(minute),
      duration(seconds),
      blocklists(std::move(lists)),
      effectiveFrom(from),
      domains(std::move(blockedDomains)) {}

std::optional<Date> Schedule::occurrence(Date containing, const ScheduleCalendar& calendar) const {
  // A window lasts at most a day, so one that opened up to two local days ago
  // (yesterday before midnight, or earlier across a long daylight-saving day)
  // is the oldest that can still be open. The nearest day wins.
  for (std::int32_t k = 0; k <= 2; ++k) {
    auto day = calendar.addingDays(containing, -k);
    if (!day || !opensOn(*this, *day, calendar)) continue;
    auto start = windowStart(*this, *day, calendar);
    if (start && *start <= containing && containing < *start + duration) return start;
  }
  return std::nullopt;
}

bool Schedule::resolvesBefore(const Schedule& a, Date aOccurrence, const Schedule& b, Date bOccurrence) {
  if (aOccurrence != bOccurrence) return aOccurrence < bOccurrence;
  // Upper-case hexadecimal text with hyphens at fixed places sorts exactly as
  // the bytes do, so no text needs to be built.
  return a.id < b.id;
}

std::expected<Schedule, DaemonError> Schedule::validated() const {
  Schedule clean = *this;
  clean.name = trimmingWhitespaceAndNewlines(name);
  if (clean.name.empty()) return std::unexpected(DaemonError::invalidSchedule);
  if (clean.name.size() > maxNameLength && characterCount(clean.name) > maxNameLength) {
    return std::unexpected(DaemonError::invalidSchedule);
  }
  if (weekdays.empty() || *weekdays.begin() < 1 || *weekdays.rbegin() > 7) {
    return std::unexpected(DaemonError::invalidSchedule);
  }
  if (startMinute < 0 || startMinute >= minutesPerDay) return std::unexpected(DaemonError::invalidSchedule);
  if (!(duration >= minDuration && duration <= maxDuration)) return std::unexpected(DaemonError::invalidSchedule);
  if (blocklists.empty() || blocklists.size() > maxLists) return std::unexpected(DaemonError::invalidSchedule);
  std::set<Uuid> listIDs;
  for (const BlocklistRef& list : blocklists) {
    if (!listIDs.insert(list.id).second) return std::unexpected(DaemonError::invalidSchedule);
  }
  for (BlocklistRef& list : clean.blocklists) list.name = shortenedName(list.name, BlocklistRef::maxNameLength);
  auto normalised = DomainValidator::validate(domains);
  if (!normalised) return std::unexpected(normalised.error());
  clean.domains = std::move(*normalised);
  return clean;
}

BlocklistRef Schedule::schemaTwoList() const {
  if (blocklists.size() == 1) return blocklists.front();
  std::vector<std::string> names;
  names.reserve(blocklists.size());
  for (const BlocklistRef& list : blocklists) names.push_back(list.name);
  return BlocklistRef(id, ListNames::phrase(names));
}

Json Schedule::toJson() const {
  Json lists = Json::array();
  for (const BlocklistRef& list : blocklists) lists.push_back(list.toJson());
  BlocklistRef single = schemaTwoList();
  Json out{{"id", writeUuid(id)},
           {"name", name},
           {"isEnabled", isEnabled},
           {"weekdays", weekdays},
           {"startMinute", startMinute},
           {"duration", duration},
           {"blocklists", std::move(lists)},
           {"domains", domains},
           {"blocklistID", writeUuid(single.id)},
           {"blocklistName", single.name}};
  if (effectiveFrom) out["effectiveFrom"] = writeDate(*effectiveFrom);
  return out;
}

Schedule Schedule::fromJson(const Json& value) {
  requireObject(value, "schedule");
  Schedule schedule;
  schedule.id = readUuid(required(value, "id"), "id");
  schedule.name = readString(required(value, "name"), "name");
  schedule.isEnabled = readBool(required(value, "isEnabled"), "isEnabled");
  for (const Json& day : readArray(required(value, "weekdays"), "weekdays")) {
    schedule.weekdays.insert(readInt64(day, "weekdays"));
  }
  schedule.startMinute = readInt64(required(value, "startMinute"), "startMinute");
  schedule.duration = readNumber(required(value, "duration"), "duration");
  if (const Json* lists = optional(value, "blocklists")) {
    for (const Json& list : readArray(*lists, "blocklists")) {
      schedule.blocklists.push_back(BlocklistRef::fromJson(list));
    }
  } else {
    // The single-list form of schema version 2.
    schedule.blocklists.emplace_back(readUuid(required(value, "blocklistID"), "blocklistID"),
                                     readString(required(value, "blocklistName"), "blocklistName"));
  }
  schedule.domains = readStringArray(required(value, "domains"), "domains");
  schedule.effectiveFrom = readOptional<Date>(value, "effectiveFrom", readDate);
  return schedule;
}

std::string Schedule::encodedList(const std::vector<Schedule>& schedules) {
  Json out = Json::array();
  for (const Schedule& schedule : schedules) out.push_back(schedule.toJson());
  return dumpJson(out);
}

Decoded<std::vector<Schedule>> Schedule::decodeList(std::string_view bytes) {
  return decodeJson<std::vector<Schedule>>(bytes, [](const Json& value) {
    std::vector<Schedule> schedules;
    for (const Json& element : readArray(value, "schedules")) schedules.push_back(fromJson(element));
    return schedules;
  });
}

}  // namespace hushwall
