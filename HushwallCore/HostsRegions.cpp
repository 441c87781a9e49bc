#include "HushwallCore/HostsRegions.hpp"

#include <cstring>

namespace hushwall::HostsRegions {
namespace {

// Both markers end in this word, so one search finds every candidate line.
constexpr std::string_view word = "HUSHWALL";
constexpr std::string_view beginPrefix = beginMarker.substr(0, beginMarker.size() - word.size());
constexpr std::string_view endPrefix = endMarker.substr(0, endMarker.size() - word.size());
static_assert(beginMarker.ends_with(word) && endMarker.ends_with(word));

bool startsLine(std::string_view bytes, std::size_t offset) { return offset == 0 || bytes[offset - 1] == '\n'; }

bool hasPrefixBefore(std::string_view bytes, std::size_t wordAt, std::string_view prefix) {
  return wordAt >= prefix.size() && bytes.substr(wordAt - prefix.size(), prefix.size()) == prefix &&
         startsLine(bytes, wordAt - prefix.size());
}

// Where the content of a line ends, if it ends at `offset`: the end of the
// buffer, a line feed, or a carriage return right before a line feed. Gives the
// end of the whole line (after its line feed) or nothing.
std::optional<std::size_t> lineEndingAt(std::string_view bytes, std::size_t offset) {
  if (offset == bytes.size()) return offset;
  if (bytes[offset] == '\n') return offset + 1;
  if (bytes[offset] == '\r' && offset + 1 < bytes.size() && bytes[offset + 1] == '\n') return offset + 2;
  return std::nullopt;
}

std::size_t endOfLineFrom(std::string_view bytes, std::size_t offset) {
  const void* feed = std::memchr(bytes.data() + offset, '\n', bytes.size() - offset);
  return feed == nullptr ? bytes.size() : static_cast<std::size_t>(static_cast<const char*>(feed) - bytes.data()) + 1;
}

}  // namespace

std::optional<MarkerLine> MarkerLines::next() {
  const char* data = bytes_.data();
  while (position_ + word.size() <= bytes_.size()) {
    // memchr on the word's first byte, which is rare in hosts files, keeps the
    // scan at memory speed; every hit is then checked in place.
    const void* found = std::memchr(data + position_, word[0], bytes_.size() - position_ - word.size() + 1);
    if (found == nullptr) break;
    std::size_t at = static_cast<std::size_t>(static_cast<const char*>(found) - data);
    position_ = at + 1;
    if (std::memcmp(data + at, word.data(), word.size()) != 0) continue;
    position_ = at + word.size();
    std::size_t after = position_;

    if (hasPrefixBefore(bytes_, at, beginPrefix)) {
      std::size_t start = at - beginPrefix.size();
      if (auto end = lineEndingAt(bytes_, after)) return MarkerLine{MarkerKind::begin, {start, *end}};
      if (bytes_[after] == ' ') return MarkerLine{MarkerKind::begin, {start, endOfLineFrom(bytes_, after)}};
    } else if (hasPrefixBefore(bytes_, at, endPrefix)) {
      std::size_t start = at - endPrefix.size();
      if (auto end = lineEndingAt(bytes_, after)) return MarkerLine{MarkerKind::end, {start, *end}};
    }
  }
  position_ = bytes_.size();
  return std::nullopt;
}

std::vector<ByteRange> ranges(std::string_view bytes) {
  std::vector<ByteRange> found;
  bool open = false;
  std::size_t start = 0;
  MarkerLines markers(bytes);
  while (auto marker = markers.next()) {
    if (marker->kind == MarkerKind::begin) {
      start = marker->line.start;  // a later begin line replaces an earlier one
      open = true;
    } else if (open) {
      found.push_back({start, marker->line.end});
      open = false;
    }
  }
  return found;
}

bool contains(std::string_view bytes) {
  // A region exists exactly when some end line follows some begin line.
  bool opened = false;
  MarkerLines markers(bytes);
  while (auto marker = markers.next()) {
    if (marker->kind == MarkerKind::begin) {
      opened = true;
    } else if (opened) {
      return true;
    }
  }
  return false;
}

}  // namespace hushwall::HostsRegions
