#include "HushwallCore/DomainValidator.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace hushwall {
namespace {

using List = std::vector<std::string>;

std::string label(std::size_t length, char c = 'a') { return std::string(length, c); }

// Four labels of 63 and a final one of `last` characters.
std::string domainOfLength(std::size_t total) {
  std::string out;
  while (out.size() + 64 < total) out += label(63) + ".";
  return out + label(total - out.size());
}

TEST(DomainValidator, NormalisesKeepingFirstOccurrenceOrder) {
  struct Case {
    List input;
    List expected;
  };
  const Case cases[] = {
      {{"Example.COM", "example.com"}, {"example.com"}},
      {{"a.b", "b.a", "a.b"}, {"a.b", "b.a"}},
      {{"localhost"}, {"localhost"}},
      {{"123.456"}, {"123.456"}},
      {{"ex--ample.com"}, {"ex--ample.com"}},
      {{"\xE2\x84\xAA"
        "ELVIN.org"},
       {"kelvin.org"}},  // U+212A KELVIN SIGN lower-cases to ASCII k
      {{domainOfLength(253)}, {domainOfLength(253)}},
      {{label(63) + ".com"}, {label(63) + ".com"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.front());
    auto result = DomainValidator::validate(c.input);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, c.expected);
  }
}

TEST(DomainValidator, RefusesBadEntriesWithInvalidDomain) {
  const std::string bad[] = {"",
                             "example.com.",
                             ".example.com",
                             "-a.com",
                             "a-.com",
                             "a..com",
                             "a.-b.com",
                             "a.b-.com",
                             "exa mple.com",
                             " example.com",
                             "example.com ",
                             "under_score.com",
                             "caf\xC3\xA9.fr",
                             "\xC4\xB0stanbul.tr",
                             std::string("exa\0mple.com", 12),
                             "\xFF\xFE.com",
                             domainOfLength(254),
                             label(64) + ".com",
                             "a.com/path",
                             "*.example.com",
                             "\t",
                             "."};
  for (const auto& entry : bad) {
    SCOPED_TRACE(entry);
    EXPECT_EQ(DomainValidator::validate({entry}), std::unexpected(DaemonError::invalidDomain));
    EXPECT_EQ(DomainValidator::validate({"good.com", entry}), std::unexpected(DaemonError::invalidDomain));
  }
  EXPECT_EQ(DomainValidator::validate({}), std::unexpected(DaemonError::invalidDomain));
}

TEST(DomainValidator, CountsEntriesBeforeDroppingRepeats) {
  List fiveHundred;
  for (int i = 0; i < 500; ++i) fiveHundred.push_back("site" + std::to_string(i) + ".com");
  auto accepted = DomainValidator::validate(fiveHundred);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->size(), 500u);

  EXPECT_EQ(DomainValidator::validate(List(501, "same.com")), std::unexpected(DaemonError::tooManyDomains));
  // The count comes first: a long list fails as too many even when it holds bad entries.
  EXPECT_EQ(DomainValidator::validate(List(100000, "bad domain")), std::unexpected(DaemonError::tooManyDomains));
  EXPECT_EQ(DomainValidator::validate(List(500, "same.com")), List{"same.com"});
}

}  // namespace
}  // namespace hushwall
