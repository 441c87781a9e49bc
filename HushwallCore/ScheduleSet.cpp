#include "HushwallCore/ScheduleSet.hpp"

#include <algorithm>
#include <unordered_set>

#include "HushwallCore/Json.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

std::expected<std::vector<Schedule>, DaemonError> validatedList(const std::vector<Schedule>& schedules) {
  if (schedules.size() > Schedule::maxCount) return std::unexpected(DaemonError::invalidSchedule);
  std::vector<Schedule> clean;
  clean.reserve(schedules.size());
  for (const Schedule& schedule : schedules) {
    auto valid = schedule.validated();
    if (!valid) return std::unexpected(valid.error());
    clean.push_back(std::move(*valid));
  }
  // Repeated ids are checked only once every schedule has passed on its own.
  std::unordered_set<Uuid> seen;
  for (const Schedule& schedule : clean) {
    if (!seen.insert(schedule.id).second) return std::unexpected(DaemonError::invalidSchedule);
  }
  return clean;
}

template <class Value>
std::map<Uuid, Value> keptFor(const std::map<Uuid, Value>& entries, const std::vector<Schedule>& schedules) {
  std::map<Uuid, Value> kept;
  for (const Schedule& schedule : schedules) {
    if (auto found = entries.find(schedule.id); found != entries.end()) kept.insert(*found);
  }
  return kept;
}

ScheduleSet rebuilt(std::vector<Schedule> schedules, const ScheduleSet& records) {
  ScheduleSet set;
  set.lastFired = keptFor(records.lastFired, schedules);
  set.history = keptFor(records.history, schedules);
  set.schedules = std::move(schedules);
  return set;
}

bool sameTiming(const Schedule& a, const Schedule& b) {
  return a.weekdays == b.weekdays && a.startMinute == b.startMinute && a.duration == b.duration;
}

// Reads a map written as [key, value, key, value, ...].
template <class ReadValue>
auto readFlatMap(const Json& value, std::string_view what, ReadValue readValue) {
  const Json& flat = readArray(value, what);
  if (flat.size() % 2 != 0) throw JsonDecodeFailure(cat("\"", what, "\": odd number of elements"));
  std::map<Uuid, decltype(readValue(flat[1]))> entries;
  for (std::size_t i = 0; i < flat.size(); i += 2) {
    entries.insert_or_assign(readUuid(flat[i], what), readValue(flat[i + 1]));
  }
  return entries;
}

}  // namespace

std::int64_t ScheduleSet::lowestSchemaVersion() const {
  bool severalLists =
      std::ranges::any_of(schedules, [](const Schedule& schedule) { return schedule.blocklists.size() >= 2; });
  return severalLists ? 3 : 2;
}

std::optional<ScheduleRun> ScheduleSet::lastRun(const Uuid& id) const {
  auto found = history.find(id);
  if (found == history.end() || found->second.empty()) return std::nullopt;
  return found->second.back();
}

bool ScheduleSet::record(const ScheduleRun& run, const Uuid& id) {
  std::vector<ScheduleRun>& runs = history[id];
  if (!runs.empty() && runs.back().occurrence == run.occurrence) {
    if (run.outcome != ScheduleRun::Outcome::ran || runs.back().outcome == ScheduleRun::Outcome::ran) return false;
    runs.back() = run;
    return true;
  }
  runs.push_back(run);
  if (runs.size() > maxHistory) runs.erase(runs.begin(), runs.end() - maxHistory);
  return true;
}

std::expected<ScheduleSet, DaemonError> ScheduleSet::replacing(const std::vector<Schedule>& incoming, Date now) const {
  auto clean = validatedList(incoming);
  if (!clean) return std::unexpected(clean.error());
  for (Schedule& schedule : *clean) {
    auto current = std::ranges::find(schedules, schedule.id, &Schedule::id);
    bool unchanged = current != schedules.end() && sameTiming(*current, schedule);
    schedule.effectiveFrom = unchanged ? current->effectiveFrom : std::optional<Date>(now);
  }
  return rebuilt(std::move(*clean), *this);
}

std::expected<ScheduleSet, DaemonError> ScheduleSet::validated() const {
  auto clean = validatedList(schedules);
  if (!clean) return std::unexpected(clean.error());
  return rebuilt(std::move(*clean), *this);
}

Json ScheduleSet::toJson() const {
  Json list = Json::array();
  for (const Schedule& schedule : schedules) list.push_back(schedule.toJson());
  Json fired = Json::array();
  for (const auto& [id, date] : lastFired) {
    fired.push_back(writeUuid(id));
    fired.push_back(writeDate(date));
  }
  Json runsByID = Json::array();
  for (const auto& [id, runs] : history) {
    Json entries = Json::array();
    for (const ScheduleRun& run : runs) entries.push_back(run.toJson());
    runsByID.push_back(writeUuid(id));
    runsByID.push_back(std::move(entries));
  }
  return Json{{"schemaVersion", schemaVersion},
              {"schedules", std::move(list)},
              {"lastFired", std::move(fired)},
              {"history", std::move(runsByID)}};
}

ScheduleSet ScheduleSet::fromJson(const Json& value) {
  requireObject(value, "schedule set");
  ScheduleSet set;
  set.schemaVersion = readInt64(required(value, "schemaVersion"), "schemaVersion");
  for (const Json& schedule : readArray(required(value, "schedules"), "schedules")) {
    set.schedules.push_back(Schedule::fromJson(schedule));
  }
  set.lastFired = readFlatMap(required(value, "lastFired"), "lastFired",
                              [](const Json& date) { return readDate(date, "lastFired"); });
  if (const Json* history = optional(value, "history")) {
    set.history = readFlatMap(*history, "history", [](const Json& runs) {
      std::vector<ScheduleRun> read;
      for (const Json& run : readArray(runs, "history")) read.push_back(ScheduleRun::fromJson(run));
      return read;
    });
  }
  return set;
}

std::string ScheduleSet::encoded() const { return dumpJson(toJson()); }

Decoded<ScheduleSet> ScheduleSet::decode(std::string_view bytes) {
  return decodeJson<ScheduleSet>(bytes, &ScheduleSet::fromJson);
}

}  // namespace hushwall
