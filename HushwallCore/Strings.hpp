// Small text helpers shared by every layer.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace hushwall {

namespace detail {
inline void appendPiece(std::string& out, std::string_view piece) { out += piece; }
template <std::integral I>
void appendPiece(std::string& out, I value) {
  if constexpr (std::same_as<I, bool>) {
    out += value ? "true" : "false";
  } else {
    out += std::to_string(value);
  }
}
}  // namespace detail

// Concatenates strings, integers and booleans ("true"/"false") into one text;
// the way log lines render their slots.
template <class... Pieces>
[[nodiscard]] std::string cat(const Pieces&... pieces) {
  std::string out;
  (detail::appendPiece(out, pieces), ...);
  return out;
}

}  // namespace hushwall
