#include "Tools/Client/HumanDuration.hpp"

#include <cmath>
#include <cstdint>

#include "HushwallCore/Strings.hpp"

namespace hushwall::HumanDuration {
namespace {

constexpr std::uint64_t largest = std::uint64_t{1} << 53;  // every whole count up to here is an exact double

std::uint64_t wholeSecondsUp(double seconds) {
  if (!(seconds > 0)) return 0;
  if (seconds >= static_cast<double>(largest)) return largest;
  return static_cast<std::uint64_t>(std::ceil(seconds));
}

std::string twoDigits(std::uint64_t value) { return value < 10 ? cat("0", value) : cat(value); }

}  // namespace

std::expected<double, Failure> parse(std::string_view text) {
  auto refuse = [text](std::string_view why) {
    return std::unexpected(Failure::usage(cat("invalid duration \"", text, "\": ", why)));
  };
  if (text.empty()) return refuse("it is empty; write for example 90s, 25m or 1h30m");
  static constexpr struct {
    char unit;
    std::uint64_t seconds;
  } units[] = {{'h', 3600}, {'m', 60}, {'s', 1}};
  std::uint64_t total = 0;
  std::size_t nextUnit = 0;  // units must come in order, each once
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t digitsStart = at;
    std::uint64_t count = 0;
    bool overflowed = false;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      overflowed = overflowed || __builtin_mul_overflow(count, 10, &count) ||
                   __builtin_add_overflow(count, static_cast<std::uint64_t>(text[at] - '0'), &count);
      ++at;
    }
    if (at == digitsStart) {
      bool wordAfterUnit = at > 0 && ((text[at] >= 'a' && text[at] <= 'z') || (text[at] >= 'A' && text[at] <= 'Z'));
      return refuse(wordAfterUnit ? "units are h, m and s" : "expected a number; write for example 90s, 25m or 1h30m");
    }
    if (at == text.size()) return refuse("a number needs a unit: h, m or s");
    std::size_t unit = nextUnit;
    while (unit < std::size(units) && units[unit].unit != text[at]) ++unit;
    if (unit == std::size(units)) {
      bool known = text[at] == 'h' || text[at] == 'm' || text[at] == 's';
      return refuse(known ? "write hours, minutes and seconds in that order, each once" : "units are h, m and s");
    }
    std::uint64_t part = 0;
    overflowed = overflowed || __builtin_mul_overflow(count, units[unit].seconds, &part) ||
                 __builtin_add_overflow(total, part, &total);
    if (overflowed || total > largest) return refuse("it is too long");
    nextUnit = unit + 1;
    ++at;
  }
  if (total == 0) return refuse("it must be longer than zero");
  return static_cast<double>(total);
}

std::string format(double seconds) {
  std::uint64_t whole = wholeSecondsUp(seconds);
  if (whole == 0) return "0s";
  std::string out;
  if (whole >= 3600) out += cat(whole / 3600, "h");
  if (whole % 3600 >= 60) out += cat(whole % 3600 / 60, "m");
  if (whole % 60 != 0) out += cat(whole % 60, "s");
  return out;
}

std::string countdown(double seconds) {
  std::uint64_t whole = wholeSecondsUp(seconds);
  std::uint64_t hours = whole / 3600;
  std::uint64_t minutes = whole % 3600 / 60;
  if (hours > 0) return cat(hours, ":", twoDigits(minutes), ":", twoDigits(whole % 60));
  return cat(minutes, ":", twoDigits(whole % 60));
}

}  // namespace hushwall::HumanDuration
