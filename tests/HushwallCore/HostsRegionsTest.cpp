#include "HushwallCore/HostsRegions.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>

namespace hushwall {
namespace {

using HostsRegions::ByteRange;
using namespace std::string_literals;

// The definition taken literally: split into lines, classify each line's
// content, walk with `open` and `start`. The scanner under test never splits
// lines, so it is held against this on hostile and random input.
std::vector<ByteRange> referenceRanges(std::string_view bytes) {
  std::vector<ByteRange> found;
  bool open = false;
  std::size_t start = 0;
  for (std::size_t line = 0, next; line < bytes.size(); line = next) {
    std::size_t feed = std::min(bytes.find('\n', line), bytes.size());
    next = feed + 1;
    std::string_view content = bytes.substr(line, feed - line);
    if (feed < bytes.size() && content.ends_with('\r')) content.remove_suffix(1);
    std::string_view afterMarker = content.substr(std::min(content.size(), HostsRegions::beginMarker.size()));
    if (content.starts_with(HostsRegions::beginMarker) && (afterMarker.empty() || afterMarker[0] == ' ')) {
      start = line;
      open = true;
    } else if (content == HostsRegions::endMarker && open) {
      found.push_back({start, std::min(next, bytes.size())});
      open = false;
    }
  }
  return found;
}

// What removal in the hosts document already covers (CRLF, several, unfinished and misordered regions, NUL bytes) is
// not repeated here.
TEST(HostsRegions, FindsExactlyTheCompleteRegions) {
  const std::string region = "# BEGIN HUSHWALL 0F5E2A4C\n127.0.0.1\ta.com\n# END HUSHWALL\n";
  const std::size_t r = region.size();
  // clang-format off
  const struct { const char* name; std::string bytes; std::vector<ByteRange> expected; } rows[] = {
      {"region between lines", "a\n" + region + "b\n", {{2, 2 + r}}},
      {"bare begin marker, end line without final feed", "# BEGIN HUSHWALL\nx\n# END HUSHWALL", {{0, 33}}},
      {"nested: the last begin line wins", "# BEGIN HUSHWALL\n" + region + "# END HUSHWALL\n", {{17, 17 + r}}},
      {"marker followed by other than a space", "# BEGIN HUSHWALLX\n# END HUSHWALL\n", {}},
      {"begin line CR without feed", "# BEGIN HUSHWALL\r# END HUSHWALL\n", {}},
      {"end marker with trailing space", "# BEGIN HUSHWALL\n# END HUSHWALL \n", {}},
      {"indented or mid-line markers", " # BEGIN HUSHWALL\nx# BEGIN HUSHWALL\n# END HUSHWALL\n", {}},
      {"word repeated", "# BEGIN HUSHWALLHUSHWALL\n# BEGIN HUSHWALL HUSHWALL\nHUSHWALL\n# END HUSHWALL\n", {{25, 75}}},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(HostsRegions::ranges(row.bytes), row.expected);
    EXPECT_EQ(referenceRanges(row.bytes), row.expected) << "the reference disagrees with the table";
    EXPECT_EQ(HostsRegions::contains(row.bytes), !row.expected.empty());
  }
}

// Random documents of marker fragments, line ends and noise, so that every
// boundary the scanner treats specially meets every other.
TEST(HostsRegions, AgreesWithTheLineByLineDefinitionOnRandomInput) {
  const std::string pieces[] = {
      "# BEGIN HUSHWALL", "# END HUSHWALL", "HUSHWALL", "# BEGIN ", " ", "\n", "\r", "\0"s, "H"};
  std::mt19937 random(20240501);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    for (int n = static_cast<int>(random() % 25); n > 0; --n) bytes += pieces[pick(random)];
    auto expected = referenceRanges(bytes);
    if (HostsRegions::ranges(bytes) != expected || HostsRegions::contains(bytes) == expected.empty()) {
      FAIL() << "differs on " << ::testing::PrintToString(bytes);
    }
  }
}

}  // namespace
}  // namespace hushwall
