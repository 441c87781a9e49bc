#include "HushwallCore/HostName.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "HushwallCore/Text.hpp"

namespace hushwall {
namespace {

TEST(HostNameTest, Normalizes) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {" \t\r\nExample.COM...\n", "example.com"},
      {"example.com. ", "example.com"},            // trimmed first, then the dots go
      {".example..com", ".example..com"},          // only trailing dots are removed
      {"exa mple.com", "exa mple.com"},            // inner white space stays
      {"\u00A0example.com\u3000", "example.com"},  // no-break and ideographic space
      {"\u0085\u212ADE.org\u2028", "kde.org"},     // Kelvin sign lower-cases to "k"
      {"WWW.STRA\u00DFE.DE", "www.stra\u00DFe.de"},
      {"", std::nullopt},
      {" .. \n", std::nullopt},
      {"\u3000.\u3000", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(HostName::normalized(text), expected);
  }
}

TEST(HostNameTest, RuleHostCheck) {
  const std::pair<std::string, bool> cases[] = {
      {"example.com", true},         {"-a-.b-", true},          {"1.2.3.a", true},       {"123abc", true},
      {std::string(300, 'a'), true}, {"192.168.0.1", false},    {"12345", false},        {"", false},
      {".example.com", false},       {"example..com", false},   {"example.com.", false}, {"under_score.com", false},
      {"Upper.com", false},          {"stra\u00DFe.de", false},
  };
  for (const auto& [name, expected] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(HostName::isRuleHost(name), expected);
  }
}

}  // namespace
}  // namespace hushwall
