#include "DaemonCore/HostsDocument.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>

namespace hushwall {
namespace {

using namespace std::string_literals;

const Uuid session = *Uuid::parse("0f5e2a4c-1b3d-4e6f-8a9b-c0d1e2f3a4b5");

std::string block(const std::string& body, const Uuid& id = session) {
  return "# BEGIN HUSHWALL " + id.string() + "\n# Managed by Hushwall. Edits inside this block are overwritten.\n" +
         body + "# END HUSHWALL\n";
}

TEST(HostsDocument, RendersEachLineWithItsTrailingDotTwinAndWwwFormsUnlessGiven) {
  const std::string ac =
      "127.0.0.1\ta.com\n127.0.0.1\ta.com.\n::1\ta.com\n::1\ta.com.\n"
      "127.0.0.1\twww.a.com\n127.0.0.1\twww.a.com.\n::1\twww.a.com\n::1\twww.a.com.\n";
  const std::string wwwAd = "127.0.0.1\twww.a.d\n127.0.0.1\twww.a.d.\n::1\twww.a.d\n::1\twww.a.d.\n";
  struct Row {
    std::vector<std::string> domains;
    std::string body;
  };
  const Row rows[] = {
      {{}, ""},
      {{"a.com"}, ac},
      {{"www.a.d"}, wwwAd},
      {{"WWW.a.d"},
       "127.0.0.1\tWWW.a.d\n127.0.0.1\tWWW.a.d.\n::1\tWWW.a.d\n::1\tWWW.a.d.\n"
       "127.0.0.1\twww.WWW.a.d\n127.0.0.1\twww.WWW.a.d.\n::1\twww.WWW.a.d\n::1\twww.WWW.a.d.\n"},
      {{"a.com", "www.a.d", "a.com"}, ac + wwwAd + ac},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.domains));
    EXPECT_EQ(HostsDocument::renderBlock(row.domains, session), block(row.body));
  }
}

TEST(HostsDocument, ApplyingPlacesOneBlockFirstKeepsTheRestAndIsIdempotent) {
  const std::vector<std::string> domains = {"a.com"};
  const std::string b = HostsDocument::renderBlock(domains, session);
  const std::string old = block("127.0.0.1\told.com\n", Uuid::random());
  struct Row {
    const char* name;
    std::string document;
    std::string expected;
  };
  const Row rows[] = {
      {"empty document", "", b},
      {"missing final line feed stays missing", "127.0.0.1\tlocalhost", b + "127.0.0.1\tlocalhost"},
      {"final blank line kept", "x\n\n", b + "x\n\n"},
      {"CRLF without final feed", "a\r\nb\r", b + "a\r\nb\r"},
      {"old block at the end moves to the start", "a\n" + old, b + "a\n"},
      {"old block in the middle moves to the start", "a\n" + old + "b\n", b + "a\nb\n"},
      {"two old blocks leave one", old + "a\n" + old, b + "a\n"},
      {"hand edits inside a region go", "a\n# BEGIN HUSHWALL\nedited\n# END HUSHWALL\n", b + "a\n"},
      {"CRLF end line goes with its CR and LF", "a\n# BEGIN HUSHWALL\r\nx\r\n# END HUSHWALL\r\nz", b + "a\nz"},
      {"binary content", "\0\xff\n\0"s, b + "\0\xff\n\0"s},
      {"nested regions go as a whole", "a\n# BEGIN HUSHWALL\n" + old + "# END HUSHWALL\nb\n", b + "a\nb\n"},
      {"unfinished markers after the block stay", "# BEGIN HUSHWALL\n# END HUSHWALL\r",
       b + "# BEGIN HUSHWALL\n# END HUSHWALL\r"},
      {"huge line of the word's first letter", std::string(100000, 'H'), b + std::string(100000, 'H')},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string once = HostsDocument::applying(domains, session, row.document);
    EXPECT_EQ(once, row.expected);
    EXPECT_EQ(HostsDocument::applying(domains, session, once), once);
    std::string other = HostsDocument::applying({"c.net"}, Uuid::random(), once);
    EXPECT_EQ(HostsDocument::removingManagedRegion(other), HostsDocument::removingManagedRegion(once));
  }
}

TEST(HostsDocument, RemovalCutsRegionsAndTouchesNothingElse) {
  const std::string old = block("127.0.0.1\told.com\n");
  struct Row {
    const char* name;
    std::string document;
    std::string expected;
  };
  const Row rows[] = {
      {"nothing to remove keeps every byte", "a\r\n\n\0b"s, "a\r\n\n\0b"s},
      {"blank lines around stay", "\n\n" + old + "\n\n", "\n\n\n\n"},
      {"stray markers around a region stay", "# END HUSHWALL\n# BEGIN HUSHWALL\nk\n" + old,
       "# END HUSHWALL\n# BEGIN HUSHWALL\nk\n"},
      // Cutting only the inner region would leave the outer markers as a new one.
      {"doubly nested", "# BEGIN HUSHWALL\n# BEGIN HUSHWALL\n" + old + "# END HUSHWALL\n# END HUSHWALL\nz", "z"},
      {"unmatched begin outside a nest", "# BEGIN HUSHWALL\nk\n# BEGIN HUSHWALL\n" + old + "# END HUSHWALL\n",
       "# BEGIN HUSHWALL\nk\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string removed = HostsDocument::removingManagedRegion(row.document);
    EXPECT_EQ(removed, row.expected);
    EXPECT_FALSE(HostsRegions::contains(removed));
  }
}

// Cutting `HostsRegions::ranges` again and again until none is left.
std::string cutUntilNoRegion(std::string document) {
  for (auto ranges = HostsRegions::ranges(document); !ranges.empty(); ranges = HostsRegions::ranges(document)) {
    for (auto range = ranges.rbegin(); range != ranges.rend(); ++range) {
      document.erase(range->start, range->end - range->start);
    }
  }
  return document;
}

TEST(HostsDocument, RandomHostileDocumentsLoseOnlyRegionsAndStayIdempotent) {
  const std::string pieces[] = {"# BEGIN HUSHWALL\n",
                                "# BEGIN HUSHWALL x\r\n",
                                "# END HUSHWALL\n",
                                "# END HUSHWALL\r\n",
                                "# END HUSHWALL",
                                "# BEGIN HUSHWALL",
                                "# END HUSHWALL\r",
                                "text\n",
                                "\r\n",
                                "\0"s};
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  for (int round = 0; round < 5000; ++round) {
    std::string document;
    for (int n = static_cast<int>(random() % 17); n > 0; --n) document += pieces[pick(random)];
    std::string once = HostsDocument::applying({"a.com"}, session, document);
    if (HostsDocument::removingManagedRegion(document) != cutUntilNoRegion(document) ||
        HostsDocument::applying({"a.com"}, session, once) != once) {
      ADD_FAILURE() << "fails on " << ::testing::PrintToString(document);
      return;
    }
  }
}

}  // namespace
}  // namespace hushwall
