// A weekly schedule: on these weekdays, at this minute of the local day, block
// these lists of domains for this long. Pure values and computation: the
// record, its JSON form, its validation, the calendar arithmetic of its
// windows and the overlap test between schedules.
//
// A window opens at `startMinute` of the local day (as `ScheduleCalendar`
// converts it, daylight-saving gaps and repeats included) and lasts `duration`
// seconds of absolute time; the start is inside the window, the end is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/BlocklistRef.hpp"
#include "HushwallCore/Date.hpp"
#include "HushwallCore/Decoded.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/ScheduleCalendar.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

struct Schedule {
  static constexpr std::size_t maxCount = 32;
  static constexpr std::size_t maxNameLength = 64;
  static constexpr std::size_t maxLists = 64;
  static constexpr double minDuration = 60;
  static constexpr double maxDuration = 86400;
  static constexpr std::int64_t minutesPerDay = 1440;

  Uuid id;
  std::string name;
  bool isEnabled = true;
  std::set<std::int64_t> weekdays;  // 1 = Sunday ... 7 = Saturday
  std::int64_t startMinute = 0;     // minute of the local day, 0 to 1439
  double duration = 0;              // seconds, 60 to 86400
  std::vector<BlocklistRef> blocklists;
  // From when the current timing (weekdays, start minute, duration) applies;
  // kept by ScheduleSet::replacing, read by no decision.
  std::optional<Date> effectiveFrom;
  std::vector<std::string> domains;  // normalised by DomainValidator once validated

  Schedule() = default;
  Schedule(Uuid id, std::string name, bool isEnabled, std::set<std::int64_t> weekdays, std::int64_t startMinute,
           double duration, std::vector<BlocklistRef> blocklists, std::vector<std::string> domains,
           std::optional<Date> effectiveFrom = std::nullopt);

  // The start of the window that contains `containing`, looking back at most
  // two days; the latest such start when two windows contain it. `isEnabled`
  // is not consulted.
  [[nodiscard]] std::optional<Date> occurrence(Date containing, const ScheduleCalendar& calendar) const;

  // The order in which windows open at the same time are served: the earlier
  // occurrence first, then the smaller upper-case id text. Equal pairs give false.
  [[nodiscard]] static bool resolvesBefore(const Schedule& a, Date aOccurrence, const Schedule& b, Date bOccurrence);

  // A cleaned copy (trimmed name, list names cut to 64 characters, normalised
  // domains), or invalidSchedule, or DomainValidator's own error. `id`,
  // `isEnabled` and `effectiveFrom` are not checked.
  [[nodiscard]] std::expected<Schedule, DaemonError> validated() const;

  // The one list that readers of schema version 2 see: the only list, or one
  // named after all lists and identified by the schedule's own id.
  [[nodiscard]] BlocklistRef schemaTwoList() const;

  // Writes every key, the single-list pair "blocklistID"/"blocklistName"
  // included. Reading takes "blocklists", or that pair when "blocklists" is
  // missing or null; it does not validate. fromJson throws JsonDecodeFailure.
  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static Schedule fromJson(const nlohmann::json& value);
  // A JSON array of schedules: the app's save request.
  [[nodiscard]] static std::string encodedList(const std::vector<Schedule>& schedules);
  [[nodiscard]] static Decoded<std::vector<Schedule>> decodeList(std::string_view bytes);

  friend bool operator==(const Schedule&, const Schedule&) = default;
};

}  // namespace hushwall
