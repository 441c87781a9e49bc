#include "HushwallCore/HostName.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "HushwallCore/Text.hpp"

namespace hushwall {
namespace {

TEST(HostNameTest, NormalizesTrimLowerCaseAndTrailingDots) {
  struct Case {
    std::string text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"example.com", "example.com"},
      {"Example.COM", "example.com"},
      {"example.com...", "example.com"},
      {" \t\r\nExample.com.\n", "example.com"},
      {"example.com. ", "example.com"},                  // trimmed first, then the dot goes
      {".example..com", ".example..com"},                // only trailing dots are removed
      {"exa mple.com", "exa mple.com"},                  // inner white space stays
      {"\u00A0example.com\u3000", "example.com"},        // no-break and ideographic space
      {"\u0085example.com\u2028", "example.com"},        // next line, line separator
      {"\u212ADE.org", "kde.org"},                       // Kelvin sign lower-cases to "k"
      {"WWW.STRA\u00DFE.DE", "www.stra\u00DFe.de"},
      {"\u00C9COLE.fr.", "\u00E9cole.fr"},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"...", std::nullopt},
      {" .. \n", std::nullopt},
      {"\u3000.\u3000", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(HostName::normalized(c.text), c.expected);
  }
}

// The ASCII path trims without ICU; it must trim exactly what ICU trims.
TEST(HostNameTest, AsciiPathAgreesWithUnicodeTrimmingForEveryByte) {
  for (int byte = 0; byte < 0x80; ++byte) {
    const std::string padding(1, static_cast<char>(byte));
    for (const std::string& text : {padding + "Ab" + padding, padding + padding}) {
      SCOPED_TRACE(byte);
      std::string reference = lowercased(trimmingWhitespaceAndNewlines(text));
      while (!reference.empty() && reference.back() == '.') reference.pop_back();
      EXPECT_EQ(HostName::normalized(text).value_or(""), reference);
    }
  }
}

TEST(HostNameTest, NormalizeReusesTheBufferItIsGiven) {
  std::string out = "left over from a much longer earlier host name";
  HostName::normalize("A.b", out);
  EXPECT_EQ(out, "a.b");
  HostName::normalize(" ", out);
  EXPECT_EQ(out, "");
}

TEST(HostNameTest, RuleHostCheck) {
  struct Case {
    std::string name;
    bool expected;
  };
  const Case cases[] = {
      {"example.com", true},
      {"a", true},
      {"-a-.b-", true},  // hyphens anywhere in a label
      {"xn--bcher-kva.de", true},
      {"1.2.3.a", true},
      {"123abc", true},
      {std::string(300, 'a'), true},  // no length limit
      {"192.168.0.1", false},
      {"12345", false},
      {"", false},
      {".example.com", false},
      {"example..com", false},
      {"example.com.", false},
      {"under_score.com", false},
      {"Upper.com", false},  // names arrive normalised
      {"exa mple.com", false},
      {"stra\u00DFe.de", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HostName::isRuleHost(c.name), c.expected);
  }
}

}  // namespace
}  // namespace hushwall
