#include "HushwallCore/FlowRules.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/HostName.hpp"

namespace hushwall {
namespace {

constexpr auto allow = FlowRules::Verdict::allow;
constexpr auto block = FlowRules::Verdict::block;

// The matcher looks up what follows each dot, skipping dot counts no blocked
// name has; this checks it against the literal rule on every combination of a
// few labels, odd domains and a very deep one included.
TEST(FlowRulesTest, AgreesWithTheLiteralSuffixRule) {
  std::string deep = "com";
  for (int label = 0; label < 70; ++label) deep = "a." + deep;
  const std::vector<std::string> domains = {"example.com", "ample.com", "com.example", "1.a",
                                            "..com",       ".x",        "a-b",         deep};
  const FlowRules rules(domains);
  auto literal = [&](std::string_view host) -> std::optional<FlowRules::Verdict> {
    auto name = HostName::normalized(host);
    if (!name) return std::nullopt;
    for (const auto& domain : domains) {
      if (*name == domain || name->ends_with("." + domain)) return block;
    }
    return allow;
  };
  const std::vector<std::string> labels = {"", "a", "1", "x", "ex", "example", "ample", "com", "COM", "a-b"};
  auto withLabels = [&](std::vector<std::string> hosts, int depth) {
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
    SCOPED_TRACE(host);
    auto expected = literal(host);
    ASSERT_EQ(rules.verdict(host), expected);
    ASSERT_EQ(rules.verdict(host + ". "), expected);
    blocked += expected == block;
  }
  EXPECT_GT(blocked, 1000);  // the sweep reaches both verdicts
}

}  // namespace
}  // namespace hushwall
