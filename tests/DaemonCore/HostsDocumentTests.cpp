#include "DaemonCore/HostsDocument.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace hushwall {
namespace {

using namespace std::string_literals;

const Uuid session = *Uuid::parse("0f5e2a4c-1b3d-4e6f-8a9b-c0d1e2f3a4b5");
const Uuid otherSession = *Uuid::parse("11111111-2222-4333-8444-555555555555");
const std::string comment = "# Managed by Hushwall. Edits inside this block are overwritten.\n";

std::string block(const std::string& body, const Uuid& id = session) {
  return "# BEGIN HUSHWALL " + id.string() + "\n" + comment + body + "# END HUSHWALL\n";
}

TEST(HostsDocument, MarkersAreTheSharedOnes) {
  EXPECT_EQ(HostsDocument::beginMarker, "# BEGIN HUSHWALL");
  EXPECT_EQ(HostsDocument::endMarker, "# END HUSHWALL");
  EXPECT_EQ(HostsDocument::managedComment.size(), 63u);
}

TEST(HostsDocument, RendersFourLinesPerDomainAndTwoForWwwDomains) {
  struct Case {
    const char* name;
    std::vector<std::string> domains;
    std::string body;
  };
  const Case cases[] = {
      {"no domains", {}, ""},
      {"one domain",
       {"example.com"},
       "127.0.0.1\texample.com\n::1\texample.com\n127.0.0.1\twww.example.com\n::1\twww.example.com\n"},
      {"www domain", {"www.example.com"}, "127.0.0.1\twww.example.com\n::1\twww.example.com\n"},
      {"upper-case WWW is not www",
       {"WWW.example.com"},
       "127.0.0.1\tWWW.example.com\n::1\tWWW.example.com\n127.0.0.1\twww.WWW.example.com\n::1\twww.WWW.example.com\n"},
      {"order and repeats kept",
       {"b.com", "www.a.com", "b.com"},
       "127.0.0.1\tb.com\n::1\tb.com\n127.0.0.1\twww.b.com\n::1\twww.b.com\n"
       "127.0.0.1\twww.a.com\n::1\twww.a.com\n"
       "127.0.0.1\tb.com\n::1\tb.com\n127.0.0.1\twww.b.com\n::1\twww.b.com\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HostsDocument::renderBlock(c.domains, session), block(c.body));
  }
  EXPECT_EQ(HostsDocument::renderBlock({}, session),
            "# BEGIN HUSHWALL 0F5E2A4C-1B3D-4E6F-8A9B-C0D1E2F3A4B5\n" + comment + "# END HUSHWALL\n");
}

TEST(HostsDocument, ApplyingPlacesOneBlockAtTheEnd) {
  const std::vector<std::string> domains = {"a.com"};
  const std::string b = block("127.0.0.1\ta.com\n::1\ta.com\n127.0.0.1\twww.a.com\n::1\twww.a.com\n");
  const std::string old = block("127.0.0.1\told.com\n", otherSession);
  struct Case {
    const char* name;
    std::string document;
    std::string expected;
  };
  const Case cases[] = {
      {"empty document", "", b},
      {"ends with a line feed", "127.0.0.1\tlocalhost\n", "127.0.0.1\tlocalhost\n" + b},
      {"no final line feed gains exactly one", "127.0.0.1\tlocalhost", "127.0.0.1\tlocalhost\n" + b},
      {"a final blank line is kept", "127.0.0.1\tlocalhost\n\n", "127.0.0.1\tlocalhost\n\n" + b},
      {"CRLF document", "a\r\nb\r\n", "a\r\nb\r\n" + b},
      {"CRLF document without final feed", "a\r\nb\r", "a\r\nb\r\n" + b},
      {"old block in the middle is replaced at the end", "a\n" + old + "b\n", "a\nb\n" + b},
      {"two old blocks leave one", old + "a\n" + old, "a\n" + b},
      {"hand edits inside a region go with it", "a\n# BEGIN HUSHWALL\nedited\n# END HUSHWALL\n", "a\n" + b},
      {"begin without end is kept", "a\n# BEGIN HUSHWALL x\n", "a\n# BEGIN HUSHWALL x\n" + b},
      {"end marker with trailing space does not close",
       "# BEGIN HUSHWALL\n# END HUSHWALL \n",
       "# BEGIN HUSHWALL\n# END HUSHWALL \n" + b},
      {"CRLF end line is cut with its CR and LF", "a\n# BEGIN HUSHWALL\r\nx\r\n# END HUSHWALL\r\nz", "a\nz\n" + b},
      {"document that is only a region", old, b},
      {"document that is only a line feed", "\n", "\n" + b},
      {"binary content", "\0\xff\n\0"s, "\0\xff\n\0\n"s + b},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HostsDocument::applying(domains, session, c.document), c.expected);
  }
}

TEST(HostsDocument, RemovalCutsRegionsAndTouchesNothingElse) {
  const std::string old = block("127.0.0.1\told.com\n");
  struct Case {
    const char* name;
    std::string document;
    std::string expected;
  };
  const Case cases[] = {
      {"nothing to remove keeps every byte", "a\r\n\n\0b"s, "a\r\n\n\0b"s},
      {"blank lines around the region stay", "\n\n" + old + "\n\n", "\n\n\n\n"},
      {"region without final feed at the end", "a\n# BEGIN HUSHWALL\n# END HUSHWALL", "a\n"},
      {"two regions", "a\n" + old + "b\n" + old + "c", "a\nb\nc"},
      {"begin without end", "# BEGIN HUSHWALL\nx\n", "# BEGIN HUSHWALL\nx\n"},
      {"end without begin", "# END HUSHWALL\nx\n", "# END HUSHWALL\nx\n"},
      {"stray end before a region", "# END HUSHWALL\n" + old, "# END HUSHWALL\n"},
      {"stray begin before a region", "# BEGIN HUSHWALL\nkeep\n" + old, "# BEGIN HUSHWALL\nkeep\n"},
      // Cutting the inner region would leave the outer markers as a new one.
      {"nested regions go as a whole", "a\n# BEGIN HUSHWALL\nx\n" + old + "y\n# END HUSHWALL\nb\n", "a\nb\n"},
      {"doubly nested",
       "# BEGIN HUSHWALL\n# BEGIN HUSHWALL\n# BEGIN HUSHWALL\n# END HUSHWALL\n# END HUSHWALL\n# END HUSHWALL\nz",
       "z"},
      {"unmatched begin outside a nest stays",
       "# BEGIN HUSHWALL 1\nk\n# BEGIN HUSHWALL\n" + old + "# END HUSHWALL\n",
       "# BEGIN HUSHWALL 1\nk\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string removed = HostsDocument::removingManagedRegion(c.document);
    EXPECT_EQ(removed, c.expected);
    EXPECT_FALSE(HostsDocument::containsManagedRegion(removed));
  }
}

TEST(HostsDocument, ApplyingToItsOwnOutputChangesNothing) {
  const std::vector<std::string> domains = {"a.com", "www.b.org"};
  const std::string fixtures[] = {
      "",
      "127.0.0.1\tlocalhost",
      "a\r\nb\r",
      "\0\0\0"s,
      "# BEGIN HUSHWALL",
      "# BEGIN HUSHWALL\r",
      "# END HUSHWALL",
      "# BEGIN HUSHWALL\n# END HUSHWALL\r",  // the added line feed completes a region
      "# BEGIN HUSHWALL\n# BEGIN HUSHWALL\n# END HUSHWALL\n# END HUSHWALL\n",
      "# BEGIN HUSHWALLX\n# END HUSHWALL \n",
      "# END HUSHWALL\n# BEGIN HUSHWALL x\n",
      std::string(100000, 'H') + "\n# BEGIN HUSHWALL\n",
  };
  for (const auto& fixture : fixtures) {
    SCOPED_TRACE(::testing::PrintToString(fixture.substr(0, 80)));
    std::string once = HostsDocument::applying(domains, session, fixture);
    EXPECT_EQ(HostsDocument::applying(domains, session, once), once);
    EXPECT_EQ(HostsRegions::ranges(once).size(), 1u);
    EXPECT_TRUE(once.ends_with(HostsDocument::renderBlock(domains, session)));

    std::string otherBlock = HostsDocument::applying({"c.net"}, otherSession, once);
    EXPECT_EQ(otherBlock, HostsDocument::removingManagedRegion(once) + HostsDocument::renderBlock({"c.net"}, otherSession));
    EXPECT_EQ(HostsDocument::removingManagedRegion(otherBlock), HostsDocument::removingManagedRegion(once));
  }
}

// Cutting `HostsRegions::ranges` over and over until none is left: the removal
// taken literally, applied to its own result.
std::string cutUntilNoRegion(std::string document) {
  for (auto ranges = HostsRegions::ranges(document); !ranges.empty(); ranges = HostsRegions::ranges(document)) {
    for (auto range = ranges.rbegin(); range != ranges.rend(); ++range) {
      document.erase(range->start, range->end - range->start);
    }
  }
  return document;
}

TEST(HostsDocument, RandomHostileDocumentsStayIdempotentAndLoseOnlyRegions) {
  const std::string pieces[] = {"# BEGIN HUSHWALL\n", "# BEGIN HUSHWALL x\r\n", "# END HUSHWALL\n",
                                "# END HUSHWALL\r\n", "# END HUSHWALL",        "# BEGIN HUSHWALL",
                                "# END HUSHWALL\r",   "text\n",                "\r\n",
                                "\n",                 "\0"s,                   "x"};
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 16);
  const std::vector<std::string> domains = {"a.com"};
  for (int round = 0; round < 5000; ++round) {
    std::string document;
    for (int n = length(random); n > 0; --n) document += pieces[pick(random)];
    std::string removed = HostsDocument::removingManagedRegion(document);
    std::string once = HostsDocument::applying(domains, session, document);
    if (removed != cutUntilNoRegion(document) || HostsDocument::applying(domains, session, once) != once) {
      ADD_FAILURE() << "fails on " << ::testing::PrintToString(document);
      return;
    }
  }
}

}  // namespace
}  // namespace hushwall
