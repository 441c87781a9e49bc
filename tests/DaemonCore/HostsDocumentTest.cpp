#include "DaemonCore/HostsDocument.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>

namespace hushwall {
namespace {

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

// Each name with its trailing-dot twin, for IPv4 and IPv6, and the www form unless given.
TEST(HostsDocument, RendersEachLineWithItsTrailingDotTwinAndWwwFormsUnlessGiven) {
  EXPECT_EQ(HostsDocument::renderBlock({}, session), block({}));
  EXPECT_EQ(HostsDocument::renderBlock({"a.com", "WWW.a.d", "www.a.d", "a.com"}, session),
            block({"a.com", "www.a.com", "WWW.a.d", "www.WWW.a.d", "www.a.d", "a.com", "www.a.com"}));
}

// Removal cuts every region, with its markers' line ends, and keeps every other byte; applying
// puts one block first, before what removal keeps, and applying again changes nothing.
TEST(HostsDocument, ApplyingPutsOneBlockFirstAndRemovalTouchesNothingButRegions) {
  const std::string old = block({"old.com"}, Uuid::random());
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"127.0.0.1\tlocalhost", "127.0.0.1\tlocalhost"},  // a missing final line feed stays missing
      {"x\n\n", "x\n\n"},
      {"a\r\n\n\0b"s, "a\r\n\n\0b"s},
      {"a\r\nb\r", "a\r\nb\r"},
      {"a\n" + old, "a\n"},
      {"a\n" + old + "b\n", "a\nb\n"},
      {old + "a\n" + old, "a\n"},
      {"\n\n" + old + "\n\n", "\n\n\n\n"},
      {"a\n# BEGIN HUSHWALL\nedited\n# END HUSHWALL\n", "a\n"},
      {"a\n# BEGIN HUSHWALL\r\nx\r\n# END HUSHWALL\r\nz", "a\nz"},
      {"\0\xff\n\0"s, "\0\xff\n\0"s},
      {"a\n# BEGIN HUSHWALL\n" + old + "# END HUSHWALL\nb\n", "a\nb\n"},
      // Cutting only the inner region would leave the outer markers as a new one.
      {"# BEGIN HUSHWALL\n# BEGIN HUSHWALL\n" + old + "# END HUSHWALL\n# END HUSHWALL\nz", "z"},
      {"# BEGIN HUSHWALL\nk\n# BEGIN HUSHWALL\n" + old + "# END HUSHWALL\n", "# BEGIN HUSHWALL\nk\n"},
      {"# END HUSHWALL\n# BEGIN HUSHWALL\nk\n" + old, "# END HUSHWALL\n# BEGIN HUSHWALL\nk\n"},
      {"# BEGIN HUSHWALL\n# END HUSHWALL\r", "# BEGIN HUSHWALL\n# END HUSHWALL\r"},
      {std::string(100000, 'H'), std::string(100000, 'H')},
  };
  for (const auto& [document, kept] : rows) {
    SCOPED_TRACE(::testing::PrintToString(document.substr(0, 200)));
    EXPECT_EQ(HostsDocument::removingManagedRegion(document), kept);
    const std::string once = HostsDocument::applying({"a.com"}, session, document);
    EXPECT_EQ(once, block({"a.com", "www.a.com"}) + kept);
    EXPECT_EQ(HostsDocument::applying({"a.com"}, session, once), once);
    EXPECT_EQ(HostsDocument::removingManagedRegion(HostsDocument::applying({"c.net"}, Uuid::random(), once)), kept);
  }
}

// Against cutting `HostsRegions::ranges` again and again until none is left.
TEST(HostsDocument, RandomHostileDocumentsLoseOnlyRegionsAndStayIdempotent) {
  // clang-format off
  const std::string pieces[] = {"# BEGIN HUSHWALL\n", "# BEGIN HUSHWALL x\r\n", "# END HUSHWALL\n", "# END HUSHWALL\r\n", "# END HUSHWALL", "# BEGIN HUSHWALL", "# END HUSHWALL\r", "text\n", "\r\n", "\0"s};
  // clang-format on
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  for (int round = 0; round < 5000; ++round) {
    std::string document, cut;
    for (int n = static_cast<int>(random() % 17); n > 0; --n) document += pieces[pick(random)];
    for (cut = document; HostsRegions::contains(cut);) {
      auto ranges = HostsRegions::ranges(cut);
      for (auto range = ranges.rbegin(); range != ranges.rend(); ++range)
        cut.erase(range->start, range->end - range->start);
    }
    const std::string once = HostsDocument::applying({"a.com"}, session, document);
    if (HostsDocument::removingManagedRegion(document) != cut ||
        HostsDocument::applying({"a.com"}, session, once) != once) {
      FAIL() << "fails on " << ::testing::PrintToString(document);
    }
  }
}

}  // namespace
}  // namespace hushwall
