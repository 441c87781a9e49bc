#include "HushwallCore/FilterRuleSet.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "support/FilterRecords.hpp"

namespace hushwall {
namespace {

using State = FilterRuleSet::State;

const Uuid sessionID = *Uuid::parse("0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9");

TEST(FilterRuleSetTest, BuiltFromTheEngineState) {
  SessionState session;
  session.id = sessionID;
  session.domains = {"Example.COM.", "news.site.org"};
  const FilterRuleSet blocking(1, State::blocking, sessionID, session.domains);
  EXPECT_EQ(FilterRuleSet(session, false), blocking);
  EXPECT_EQ(FilterRuleSet(session, true), blocking);
  EXPECT_EQ(FilterRuleSet(std::nullopt, false), FilterRuleSet(1, State::idle, std::nullopt, {}));
  EXPECT_EQ(FilterRuleSet(std::nullopt, true), FilterRuleSet(1, State::unknown, std::nullopt, {}));
  EXPECT_EQ(nlohmann::json::parse(FilterRuleSet(std::nullopt, false).encoded()),
            nlohmann::json::parse(R"({"schemaVersion":1,"state":"idle","domains":[]})"));
}

TEST(FilterRuleSetTest, RuleHostsAreCleanDistinctAndInFirstOrder) {
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {{" B.org.\n", "Example.COM", "b.ORG..", "example.com"}, {"b.org", "example.com"}},
      {{"10.0.0.1", "my_site.com", "a..org", ".a.org", "a.org"}, {"a.org"}},
      {{"", "  ", "...", "stra\u00DFe.de", "\u212ADE.org"}, {"kde.org"}},
  };
  for (const auto& [domains, expected] : cases) {
    SCOPED_TRACE(domains.front());
    EXPECT_EQ(FilterRuleSet(1, State::blocking, sessionID, domains).ruleHosts(), expected);
  }
}

}  // namespace
}  // namespace hushwall
