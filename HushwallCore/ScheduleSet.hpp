// Everything the daemon knows about schedules: the user's schedules in their
// order, the window that last started a session for each, and a short history
// of what happened at each window. The content of "schedules.json" and the
// app's answer when it reads or saves schedules. Pure values and operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Date.hpp"
#include "HushwallCore/Decoded.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/ScheduleRun.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

struct ScheduleSet {
  // Version 2 knows one list per schedule; version 3 adds several.
  static constexpr std::int64_t currentSchemaVersion = 3;
  static constexpr std::int64_t oldestReadableSchemaVersion = 1;
  static constexpr std::size_t maxHistory = 5;

  std::int64_t schemaVersion = currentSchemaVersion;
  std::vector<Schedule> schedules;                   // the user's order; at most 32, distinct ids once validated
  std::map<Uuid, Date> lastFired;                    // schedule id -> the window start that last started a session
  std::map<Uuid, std::vector<ScheduleRun>> history;  // schedule id -> its latest runs, oldest first

  // No schedules (the two maps are not consulted).
  [[nodiscard]] bool isEmpty() const { return schedules.empty(); }
  // 3 when any schedule has two or more lists, otherwise 2.
  [[nodiscard]] std::int64_t lowestSchemaVersion() const;
  [[nodiscard]] std::optional<ScheduleRun> lastRun(const Uuid& id) const;

  // Appends `run` to the history of `id`, keeping the latest `maxHistory`.
  // A second run for the window of the last entry changes nothing, except
  // that `ran` replaces another outcome. True when the history changed.
  bool record(const ScheduleRun& run, const Uuid& id);

  // The set with the app's list of schedules in place of the current ones,
  // each `effectiveFrom` kept while its timing is unchanged and set to `now`
  // otherwise, and the records of removed schedules dropped. Fails with the
  // first validation error; this set is never changed.
  [[nodiscard]] std::expected<ScheduleSet, DaemonError> replacing(const std::vector<Schedule>& incoming,
                                                                  Date now) const;
  // Every schedule validated, version 3, records of unknown ids dropped.
  [[nodiscard]] std::expected<ScheduleSet, DaemonError> validated() const;

  // Four keys, always written; the two maps as flat arrays that alternate id
  // text and value. "history" may be missing or null on reading; an odd map
  // array fails the decode; a repeated id keeps its last value. No validation.
  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static ScheduleSet fromJson(const nlohmann::json& value);
  [[nodiscard]] std::string encoded() const;
  [[nodiscard]] static Decoded<ScheduleSet> decode(std::string_view bytes);

  friend bool operator==(const ScheduleSet&, const ScheduleSet&) = default;
};

}  // namespace hushwall
