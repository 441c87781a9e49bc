// What every fuzz target shares: the input as text or bytes, and checks that
// stop the run where a property fails, so libFuzzer saves the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace hushwall::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

inline std::span<const std::uint8_t> bytes(const std::uint8_t* data, std::size_t size) { return {data, size}; }

inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property failed: %s\n", property);
  std::abort();
}

// Whatever decodes must come back unchanged from what the daemon would write.
template <class Record>
void requireRoundTrip(std::string_view text, const char* property) {
  auto record = Record::decode(text);
  if (!record) return;
  auto again = Record::decode(record->encoded());
  require(again && *again == *record, property);
}

}  // namespace hushwall::fuzz
