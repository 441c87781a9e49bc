#include "Tools/Client/ScheduleText.hpp"

#include <algorithm>
#include <array>

#include "HushwallCore/Strings.hpp"

namespace hushwall::ScheduleText {
namespace {

constexpr std::array<std::string_view, 7> shortNames = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
constexpr std::array<std::string_view, 7> longNames = {"sunday",   "monday", "tuesday", "wednesday",
                                                       "thursday", "friday", "saturday"};
constexpr std::array<std::string_view, 7> shownNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::expected<std::set<std::int64_t>, Failure> parseWeekdays(std::string_view text) {
  std::string lower = lowerAscii(trimmed(text));
  if (lower == "daily") return std::set<std::int64_t>{1, 2, 3, 4, 5, 6, 7};
  if (lower == "weekdays") return std::set<std::int64_t>{2, 3, 4, 5, 6};
  if (lower == "weekends") return std::set<std::int64_t>{1, 7};
  std::set<std::int64_t> days;
  std::string_view rest = lower;
  auto refuse = [text] {
    return std::unexpected(Failure::usage(
        cat("invalid days \"", text, "\": write day names such as mon,wed,fri, or weekdays, weekends or daily")));
  };
  while (true) {
    std::size_t comma = rest.find(',');
    std::string_view part = trimmed(rest.substr(0, comma));
    if (part.empty()) return refuse();
    // Blanks separate names too, so the list formatWeekdays shows reads back.
    while (!part.empty()) {
      std::size_t blank = part.find_first_of(" \t");
      std::string_view word = part.substr(0, blank);
      auto at = std::ranges::find(shortNames, word);
      if (at == shortNames.end()) at = shortNames.begin() + (std::ranges::find(longNames, word) - longNames.begin());
      if (at == shortNames.end()) return refuse();
      days.insert(at - shortNames.begin() + 1);
      part = blank == std::string_view::npos ? std::string_view() : trimmed(part.substr(blank));
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return days;
}

std::string formatWeekdays(const std::set<std::int64_t>& weekdays) {
  if (weekdays.empty()) return "-";
  if (weekdays == std::set<std::int64_t>{1, 2, 3, 4, 5, 6, 7}) return "daily";
  std::string out;
  for (std::int64_t day : {2, 3, 4, 5, 6, 7, 1}) {
    if (!weekdays.contains(day)) continue;
    if (!out.empty()) out += ' ';
    out += shownNames[static_cast<std::size_t>(day - 1)];
  }
  for (std::int64_t day : weekdays) {
    if (day < 1 || day > 7) out += cat(out.empty() ? "" : " ", "day", day);  // stored, never valid
  }
  return out;
}

std::expected<std::int64_t, Failure> parseTimeOfDay(std::string_view text) {
  auto refuse = [text] {
    return std::unexpected(Failure::usage(cat("invalid time \"", text, "\": write the 24-hour time, e.g. 09:30")));
  };
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() != colon + 3) return refuse();
  auto number = [](std::string_view digits) -> std::int64_t {
    std::int64_t value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return -1;
      value = value * 10 + (c - '0');
    }
    return value;
  };
  std::int64_t hour = number(text.substr(0, colon));
  std::int64_t minute = number(text.substr(colon + 1));
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return refuse();
  return hour * 60 + minute;
}

std::string formatTimeOfDay(std::int64_t minuteOfDay) {
  std::int64_t hour = minuteOfDay / 60;
  std::int64_t minute = minuteOfDay % 60;
  return cat(hour < 10 ? "0" : "", hour, ":", minute < 10 ? "0" : "", minute);
}

std::expected<std::size_t, Failure> find(const std::vector<Schedule>& schedules, std::string_view key) {
  std::string upper(key);
  std::ranges::transform(upper, upper.begin(),
                         [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
  std::vector<std::size_t> byID;
  std::vector<std::size_t> byName;
  for (std::size_t i = 0; i < schedules.size(); ++i) {
    std::string id = schedules[i].id.string();
    if (id == upper) return i;
    if (upper.size() >= 4 && id.starts_with(upper)) byID.push_back(i);
    if (schedules[i].name == key) byName.push_back(i);
  }
  if (byID.size() == 1 && byName.empty()) return byID.front();
  if (byName.size() == 1 && byID.empty()) return byName.front();
  if (byID.empty() && byName.empty()) return std::unexpected(Failure::usage(cat("no schedule \"", key, "\"")));
  return std::unexpected(Failure::usage(cat("\"", key, "\" names more than one schedule; use its id")));
}

}  // namespace hushwall::ScheduleText
