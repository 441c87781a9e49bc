// Enumerations with a text form (in logs, on the wire, in stored files) keep one
// table of their cases and texts; both directions read it, so they cannot drift.
#pragma once

#include <optional>
#include <string_view>

namespace hushwall {

template <typename Enum>
struct CaseName {
  Enum value;
  std::string_view name;
};

// The text of `value`, or "unknown" for a value outside the table (a number cast from the wire).
template <typename Table, typename Enum>
[[nodiscard]] constexpr std::string_view nameIn(const Table& table, Enum value) {
  for (const auto& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return "unknown";
}

// The case written exactly as `name` (no other spelling or letter case), if any.
template <typename Table>
[[nodiscard]] constexpr auto caseIn(const Table& table, std::string_view name)
    -> std::optional<decltype(std::begin(table)->value)> {
  for (const auto& entry : table) {
    if (entry.name == name) return entry.value;
  }
  return std::nullopt;
}

}  // namespace hushwall
