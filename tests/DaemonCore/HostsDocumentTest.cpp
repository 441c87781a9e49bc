// The hosts file's managed regions: where they are, how a block replaces them, and the scanner and
// the transform held against the line-by-line definition on random hostile documents.
#include "DaemonCore/HostsDocument.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace hushwall {
namespace {

using HostsRegions::ByteRange;
using namespace std::string_literals;

const Uuid session = *Uuid::parse("0f5e2a4c-1b3d-4e6f-8a9b-c0d1e2f3a4b5");

std::string block(const std::vector<std::string>& names, const Uuid& id = session) {
  std::string body;
  for (const auto& name : names) {
    for (const char* address : {"127.0.0.1\t", "::1\t"}) body += address + name + "\n" + address + name + ".\n";
  }
  return "# BEGIN HUSHWALL " + id.string() + "\n# Managed by Hushwall. Edits inside this block are overwritten.\n" +
         body + "# END HUSHWALL\n";
}

// Each name with its trailing-dot twin, for IPv4 and IPv6, and the www form unless given; applying puts the one block
// first, before what removal keeps (the random run below holds removal to the definition).
TEST(HostsDocument, RendersEachLineWithItsTrailingDotTwinAndWwwFormsUnlessGivenAndPutsTheBlockFirst) {
  EXPECT_EQ(HostsDocument::renderBlock({}, session), block({}));
  EXPECT_EQ(HostsDocument::renderBlock({"a.com", "WWW.a.d", "www.a.d", "a.com"}, session),
            block({"a.com", "www.a.com", "WWW.a.d", "www.WWW.a.d", "www.a.d", "a.com", "www.a.com"}));
  const std::string old = block({"old.com"}, Uuid::random());
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"127.0.0.1\tlocalhost", "127.0.0.1\tlocalhost"},  // a missing final line feed stays missing
      // Cutting only the inner region would leave the outer markers as a new one.
      {"# BEGIN HUSHWALL\n# BEGIN HUSHWALL\n" + old + "# END HUSHWALL\n# END HUSHWALL\nz", "z"},
  };
  for (const auto& [document, kept] : rows) {
    EXPECT_EQ(HostsDocument::applying({"a.com"}, session, document), block({"a.com", "www.a.com"}) + kept);
  }
}

// The definition taken literally: split into lines, classify each line's content, walk with `open` and `start`. The
// scanner never splits lines, so it is held against this where every boundary it treats specially meets every other.
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

// Documents drawn alternately from marker fragments and from whole marker lines: the scanner agrees with the
// definition, removal with cutting `HostsRegions::ranges` again and again until none is left, applying puts the block
// before what removal keeps, replaces a block of another session and is idempotent.
TEST(HostsDocument, RandomHostileDocumentsLoseOnlyRegionsAndStayIdempotent) {
  // clang-format off
  const std::vector<std::string> fragments = {"# BEGIN HUSHWALL", "# END HUSHWALL", "HUSHWALL", "# BEGIN ", " ", "\n", "\r", "\0"s, "H"};
  const std::vector<std::string> lines = {"# BEGIN HUSHWALL\n", "# BEGIN HUSHWALL x\r\n", "# END HUSHWALL\n", "# END HUSHWALL\r\n", "# END HUSHWALL", "# BEGIN HUSHWALL", "# END HUSHWALL\r", "text\n", "\r\n", "\0"s};
  // clang-format on
  std::mt19937 random(20240501);
  for (int round = 0; round < 40000; ++round) {
    const auto& pieces = round % 2 == 0 ? fragments : lines;
    std::string document, cut;
    for (int n = static_cast<int>(random() % 25); n > 0; --n) document += pieces[random() % pieces.size()];
    const auto expected = referenceRanges(document);
    for (cut = document; HostsRegions::contains(cut);) {
      auto ranges = HostsRegions::ranges(cut);
      for (auto range = ranges.rbegin(); range != ranges.rend(); ++range)
        cut.erase(range->start, range->end - range->start);
    }
    const std::string once = HostsDocument::applying({"a.com"}, session, document);
    if (HostsRegions::ranges(document) != expected || HostsRegions::contains(document) == expected.empty() ||
        HostsDocument::removingManagedRegion(document) != cut ||
        HostsDocument::applying({"a.com"}, session, once) != once || once != block({"a.com", "www.a.com"}) + cut ||
        HostsDocument::removingManagedRegion(HostsDocument::applying({"c.net"}, Uuid::random(), once)) != cut) {
      FAIL() << "fails on " << ::testing::PrintToString(document);
    }
  }
}

}  // namespace
}  // namespace hushwall
