#include "HushwallCore/HostsRegions.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace hushwall {
namespace {

using HostsRegions::ByteRange;

using namespace std::string_literals;

// The definition taken literally: split into lines, classify each line's
// content, walk with `open` and `start`. The scanner under test never splits
// lines, so it is checked against this on hostile and random input.
std::vector<ByteRange> referenceRanges(std::string_view bytes) {
  std::vector<ByteRange> found;
  bool open = false;
  std::size_t start = 0;
  std::size_t lineStart = 0;
  while (lineStart < bytes.size()) {
    std::size_t feed = bytes.find('\n', lineStart);
    std::size_t fullEnd = feed == std::string_view::npos ? bytes.size() : feed + 1;
    std::size_t contentEnd = feed == std::string_view::npos ? bytes.size() : feed;
    if (feed != std::string_view::npos && feed > lineStart && bytes[feed - 1] == '\r') --contentEnd;
    std::string_view content = bytes.substr(lineStart, contentEnd - lineStart);
    bool isBegin = content.starts_with(HostsRegions::beginMarker) &&
                   (content.size() == HostsRegions::beginMarker.size() ||
                    content[HostsRegions::beginMarker.size()] == ' ');
    if (isBegin) {
      start = lineStart;
      open = true;
    } else if (content == HostsRegions::endMarker && open) {
      found.push_back({start, fullEnd});
      open = false;
    }
    lineStart = fullEnd;
  }
  return found;
}

struct Case {
  const char* name;
  std::string bytes;
  std::vector<ByteRange> expected;
};

TEST(HostsRegions, FindsExactlyTheCompleteRegions) {
  const std::string region = "# BEGIN HUSHWALL 0F5E2A4C\n127.0.0.1\ta.com\n# END HUSHWALL\n";
  const std::size_t r = region.size();
  const Case cases[] = {
      {"empty", "", {}},
      {"no markers", "127.0.0.1\tlocalhost\n::1\tlocalhost\n", {}},
      {"region alone", region, {{0, r}}},
      {"region between lines", "a\n" + region + "b\n", {{2, 2 + r}}},
      {"bare begin marker", "# BEGIN HUSHWALL\n# END HUSHWALL\n", {{0, 32}}},
      {"end line without final feed", "# BEGIN HUSHWALL\nx\n# END HUSHWALL", {{0, 33}}},
      {"CRLF everywhere", "# BEGIN HUSHWALL\r\nx\r\n# END HUSHWALL\r\nafter\r\n", {{0, 37}}},
      {"two regions", region + "mid\n" + region, {{0, r}, {r + 4, 2 * r + 4}}},
      {"nested: the last begin wins", "# BEGIN HUSHWALL\n" + region + "# END HUSHWALL\n", {{17, 17 + r}}},
      {"begin without end", "# BEGIN HUSHWALL\n127.0.0.1\ta.com\n", {}},
      {"end without begin", "# END HUSHWALL\n# BEGIN HUSHWALL\n", {}},
      {"stray end before region", "# END HUSHWALL\n" + region, {{15, 15 + r}}},
      {"marker followed by other than space", "# BEGIN HUSHWALLX\n# END HUSHWALL\n", {}},
      {"marker followed by tab", "# BEGIN HUSHWALL\t1\n# END HUSHWALL\n", {}},
      {"begin marker then CR at end of buffer", "# BEGIN HUSHWALL\r", {}},
      {"begin line CR without feed", "# BEGIN HUSHWALL\r# END HUSHWALL\n", {}},
      {"end marker with trailing space", "# BEGIN HUSHWALL\n# END HUSHWALL \n", {}},
      {"end marker then CR at end of buffer", "# BEGIN HUSHWALL\n# END HUSHWALL\r", {}},
      {"end marker then two CRs", "# BEGIN HUSHWALL\n# END HUSHWALL\r\r\n", {}},
      {"indented markers", " # BEGIN HUSHWALL\n# END HUSHWALL\n", {}},
      {"markers mid-line", "x# BEGIN HUSHWALL\n# END HUSHWALL\n", {}},
      {"lower case", "# begin hushwall\n# end hushwall\n", {}},
      {"NUL bytes around", "\0\0\n# BEGIN HUSHWALL\n\0\n# END HUSHWALL\n\0"s, {{3, 37}}},
      {"NUL right after the marker", "# BEGIN HUSHWALL\0\n# END HUSHWALL\n"s, {}},
      {"word repeated", "# BEGIN HUSHWALLHUSHWALL\n# BEGIN HUSHWALL HUSHWALL\nHUSHWALL\n# END HUSHWALL\n", {{25, 75}}},
      {"truncated markers", "# BEGIN HUSHWAL\n# END HUSHWAL", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HostsRegions::ranges(c.bytes), c.expected);
    EXPECT_EQ(referenceRanges(c.bytes), c.expected) << "the reference disagrees with the table";
    EXPECT_EQ(HostsRegions::contains(c.bytes), !c.expected.empty());
  }
}

TEST(HostsRegions, MarkerLinesReportWholeLinesInOrder) {
  std::string bytes = "x\n# BEGIN HUSHWALL id\r\n# END HUSHWALL\n# BEGIN HUSHWALL";
  HostsRegions::MarkerLines markers(bytes);
  using HostsRegions::MarkerKind;
  using HostsRegions::MarkerLine;

  EXPECT_EQ(markers.next(), (MarkerLine{MarkerKind::begin, {2, 23}}));
  EXPECT_EQ(markers.next(), (MarkerLine{MarkerKind::end, {23, 38}}));
  EXPECT_EQ(markers.next(), (MarkerLine{MarkerKind::begin, {38, bytes.size()}}));
  EXPECT_EQ(markers.next(), std::nullopt);
  EXPECT_EQ(markers.next(), std::nullopt);
}

// Random documents built from marker fragments, line ends and noise, so that
// the boundaries the scanner handles specially meet in every combination.
TEST(HostsRegions, AgreesWithTheLineByLineDefinitionOnRandomInput) {
  const std::string pieces[] = {"# BEGIN HUSHWALL", "# END HUSHWALL", "HUSHWALL", "# BEGIN ", "# END ", " ", "\n",
                                "\r",               "\r\n",           "\0"s,       "x",        "H",      "#"};
  std::mt19937 random(20240501);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 24);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    for (int n = length(random); n > 0; --n) bytes += pieces[pick(random)];
    auto expected = referenceRanges(bytes);
    if (HostsRegions::ranges(bytes) != expected || HostsRegions::contains(bytes) != !expected.empty()) {
      ADD_FAILURE() << "differs on " << ::testing::PrintToString(bytes);
      return;
    }
  }
}

}  // namespace
}  // namespace hushwall
