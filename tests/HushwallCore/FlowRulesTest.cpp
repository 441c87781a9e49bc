#include "HushwallCore/FlowRules.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/HostName.hpp"

namespace hushwall {
namespace {

using Verdict = FlowRules::Verdict;
constexpr auto allow = Verdict::allow;
constexpr auto block = Verdict::block;

TEST(FlowRulesTest, Verdicts) {
  const std::vector<std::string> domains = {"Example.COM.", "ads.tracker.net", " news.site.org\n", "stra\u00DFe.de",
                                            "kde.org",      "",                "...",              "10.0.0.1"};
  const FlowRules rules(domains);
  struct Case {
    std::optional<std::string_view> host;
    std::optional<Verdict> expected;
  };
  const Case cases[] = {
      {"example.com", block},
      {"www.example.com", block},
      {"a.b.c.d.example.com", block},
      {"EXAMPLE.com...", block},
      {" \tWWW.Example.Com.\r\n", block},
      {"example.com\u3000", block},
      {"x.ads.tracker.net", block},
      {"news.site.org", block},
      {"WWW.STRA\u00DFE.DE", block},
      {"\u212ADE.org", block},  // the Kelvin sign lower-cases to "k"
      {"10.0.0.1", block},      // no host-name check on this side
      {"notexample.com", allow},
      {"wwwexample.com", allow},
      {"example.com.evil.org", allow},
      {"example.co", allow},
      {"com", allow},
      {"tracker.net", allow},  // the parent of a blocked domain
      {"site.org", allow},
      {"www.example.com-x", allow},
      {"0.10.0.0.1", block},
      {"exa mple.com", allow},
      {std::nullopt, std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"...", std::nullopt},
      {"\n.\t", std::nullopt},
      {"\u00A0", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host.value_or("(no host)"));
    EXPECT_EQ(rules.verdict(c.host), c.expected);
  }
}

TEST(FlowRulesTest, EmptyRulesAllowEveryNamedHost) {
  for (const auto& rules : {FlowRules(), FlowRules(std::vector<std::string>{"", " \n", ".."})}) {
    EXPECT_TRUE(rules.isEmpty());
    EXPECT_EQ(rules.verdict("example.com"), allow);
    EXPECT_EQ(rules.verdict(" "), std::nullopt);
  }
  EXPECT_FALSE(FlowRules(std::vector<std::string>{"a"}).isEmpty());
}

TEST(FlowRulesTest, DeepNamesMatchAtEveryDepth) {
  std::string deep = "deep.org";
  for (int label = 0; label < 70; ++label) deep = "l" + std::to_string(label) + "." + deep;
  const FlowRules rules(std::vector<std::string>{deep, "org.example"});
  EXPECT_EQ(rules.verdict(deep), block);
  EXPECT_EQ(rules.verdict("www." + deep), block);
  EXPECT_EQ(rules.verdict("www.l1." + deep.substr(deep.find('.') + 1)), allow);
  EXPECT_EQ(rules.verdict(deep + ".org.example"), block);
  EXPECT_EQ(rules.verdict("org"), allow);
}

TEST(FlowRulesTest, EqualWhenTheyBlockTheSameNames) {
  const FlowRules rules(std::vector<std::string>{"a.org", "B.org"});
  EXPECT_EQ(rules, FlowRules(std::vector<std::string>{"b.org.", "A.org", "a.org", " "}));
  EXPECT_NE(rules, FlowRules(std::vector<std::string>{"a.org"}));
}

// The matcher looks up what follows each dot instead of testing every blocked
// domain; this checks it against the literal rule on every combination of a
// few labels, odd domains included.
TEST(FlowRulesTest, AgreesWithTheLiteralSuffixRule) {
  const std::vector<std::string> domains = {"example.com", "ample.com", "com.example", "1.a", "..com", ".x", "a-b"};
  const FlowRules rules(domains);
  auto literal = [&](std::string_view host) -> std::optional<Verdict> {
    auto name = HostName::normalized(host);
    if (!name) return std::nullopt;
    for (const auto& domain : domains) {
      if (*name == domain || name->ends_with("." + domain)) return block;
    }
    return allow;
  };
  const std::vector<std::string> labels = {"", "a", "1", "x", "ex", "example", "ample", "com", "COM", "a-b"};
  std::vector<std::string> hosts = {""};
  for (int depth = 0; depth < 4; ++depth) {
    std::vector<std::string> deeper;
    for (const auto& host : hosts) {
      for (const auto& label : labels) deeper.push_back(host.empty() ? label : host + "." + label);
    }
    hosts.insert(hosts.end(), deeper.begin(), deeper.end());
  }
  int blocked = 0;
  for (const auto& host : hosts) {
    SCOPED_TRACE(host);
    auto expected = literal(host);
    ASSERT_EQ(rules.verdict(host), expected);
    ASSERT_EQ(rules.verdict(host + ". "), expected);
    blocked += expected == block;
  }
  EXPECT_GT(blocked, 100);  // the sweep reaches both verdicts
}

}  // namespace
}  // namespace hushwall
