// Recognition of the daemon's managed regions in the raw bytes of a hosts file.
//
// A line ends with a line feed or at the end of the buffer; its content is the
// line without the line feed and without a carriage return right before it.
// A begin line's content is `beginMarker`, alone or followed by a space and
// anything; an end line's content is exactly `endMarker`. A managed region runs
// from the first byte of a begin line to the end (line feed included) of the
// first end line after it, with no other begin line between; a begin line
// without an end line after it, or an end line without a begin line before it,
// is ordinary text. Nothing but the markers is interpreted: any bytes, NUL and
// invalid UTF-8 included, are accepted. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace hushwall::HostsRegions {

inline constexpr std::string_view beginMarker = "# BEGIN HUSHWALL";
inline constexpr std::string_view endMarker = "# END HUSHWALL";

// Half-open byte offsets [start, end).
struct ByteRange {
  std::size_t start = 0;
  std::size_t end = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

enum class MarkerKind { begin, end };

struct MarkerLine {
  MarkerKind kind = MarkerKind::begin;
  ByteRange line;  // the whole line, its line feed included
  friend bool operator==(const MarkerLine&, const MarkerLine&) = default;
};

// The begin and end lines of a buffer, in document order, found without
// splitting the buffer into lines and without allocating. The buffer must
// outlive the scanner.
class MarkerLines {
 public:
  explicit MarkerLines(std::string_view bytes) : bytes_(bytes) {}
  [[nodiscard]] std::optional<MarkerLine> next();

 private:
  std::string_view bytes_;
  std::size_t position_ = 0;
};

// Every complete managed region, in document order.
[[nodiscard]] std::vector<ByteRange> ranges(std::string_view bytes);
// Whether `ranges` would find at least one region; stops at the first.
[[nodiscard]] bool contains(std::string_view bytes);

}  // namespace hushwall::HostsRegions
