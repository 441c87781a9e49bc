// Names as the user gives them, as the filter's rules hold them, and as the
// flow matcher judges them.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "HushwallCore/DomainValidator.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/FlowRules.hpp"
#include "HushwallCore/HostName.hpp"

namespace hushwall {
namespace {

using List = std::vector<std::string>;
using namespace std::string_literals;

TEST(DomainValidator, NormalisesOrRefusesTheWholeList) {
  using Result = std::expected<List, DaemonError>;
  const Result invalid = std::unexpected(DaemonError::invalidDomain);
  const Result tooMany = std::unexpected(DaemonError::tooManyDomains);
  const std::string l63(63, 'a'), of253 = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'a');
  // clang-format off
  const std::pair<List, Result> rows[] = {
      {{"Example.COM", "b.a", "example.com"}, List{"example.com", "b.a"}},  // first occurrence order
      {{"localhost", "123.456", "ex--ample.com", "\xE2\x84\xAA" "ELVIN.org"}, List{"localhost", "123.456", "ex--ample.com", "kelvin.org"}},
      {{of253, l63 + ".com"}, List{of253, l63 + ".com"}},
      {List(500, "same.com"), List{"same.com"}},
      {List(501, "same.com"), tooMany},
      {List(100000, "bad domain"), tooMany},  // the count comes before the entries
      {{}, invalid},
  };
  // clang-format on
  for (const auto& [domains, expected] : rows)
    EXPECT_EQ(DomainValidator::validate(domains), expected) << domains.size();
  for (const std::string& bad :
       List{"", "example.com.", ".example.com", "-a.com", "a-.com", "a..com", "a.-b.com", "exa mple.com",
            "caf\xC3\xA9.fr", "\xC4\xB0stanbul.tr", "exa\0mple.com"s, of253 + "a", std::string(64, 'a') + ".com"}) {
    EXPECT_EQ(DomainValidator::validate({"good.com", bad}), invalid) << bad;
  }
}

TEST(HostName, RuleHostsAreCleanDistinctAndInFirstOrder) {
  const Uuid id = *Uuid::parse("0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9");
  // clang-format off
  const std::pair<List, List> rows[] = {
      {{" B.org.\n", "\u00A0Example.COM\u3000", "b.ORG..", "example.com"}, {"b.org", "example.com"}},
      {{"10.0.0.1", "12345", "my_site.com", "a..org", ".a.org", "exa mple.com", "1.2.3.a", "-a-.b-", "123abc"}, {"1.2.3.a", "-a-.b-", "123abc"}},
      {{"", "  ", "...", "stra\u00DFe.de", "\u0085\u212ADE.org\u2028", std::string(300, 'a')}, {"kde.org", std::string(300, 'a')}},
  };
  // clang-format on
  for (const auto& [domains, expected] : rows) {
    EXPECT_EQ(FilterRuleSet(1, FilterRuleSet::State::blocking, id, domains).ruleHosts(), expected) << domains[0];
  }
}

// The matcher looks up what follows each dot, skipping dot counts no blocked
// name has; this holds it against the literal suffix rule on every combination
// of a few labels, odd domains and a very deep one included.
TEST(FlowRules, AgreesWithTheLiteralSuffixRule) {
  std::string deep = "com";
  for (int label = 0; label < 70; ++label) deep = "a." + deep;
  const List domains = {"example.com", "ample.com", "com.example", "1.a", "..com", ".x", "a-b", deep};
  const FlowRules rules(domains);
  const List labels = {"", "a", "1", "x", "ex", "example", "ample", "com", "COM", "a-b"};
  auto withLabels = [&](List hosts, int depth) {
    for (std::size_t end = hosts.size(); depth-- > 0; end = hosts.size()) {
      for (std::size_t i = 0; i < end; ++i) {
        for (const auto& label : labels) hosts.push_back(hosts[i].empty() ? label : label + "." + hosts[i]);
      }
    }
    return hosts;
  };
  auto hosts = withLabels({""}, 4);
  for (auto& host : withLabels({deep.substr(2)}, 2)) hosts.push_back(std::move(host));
  int blocked = 0;
  for (const auto& host : hosts) {
    std::optional<FlowRules::Verdict> expected;
    if (auto name = HostName::normalized(host)) {
      bool match = std::ranges::any_of(domains, [&](const auto& d) { return *name == d || name->ends_with("." + d); });
      expected = match ? FlowRules::Verdict::block : FlowRules::Verdict::allow;
    }
    ASSERT_EQ(rules.verdict(host), expected) << host;
    ASSERT_EQ(rules.verdict(host + ". "), expected) << host;
    blocked += expected == FlowRules::Verdict::block;
  }
  EXPECT_GT(blocked, 1000);  // the sweep reaches both verdicts
}

}  // namespace
}  // namespace hushwall
