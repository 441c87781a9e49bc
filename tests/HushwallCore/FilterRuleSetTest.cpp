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

SessionState sessionWith(std::vector<std::string> domains) {
  SessionState session;
  session.id = sessionID;
  session.domains = std::move(domains);
  session.totalDuration = 3600;
  return session;
}

TEST(FilterRuleSetTest, BuiltFromTheEngineState) {
  struct Case {
    const char* name;
    std::optional<SessionState> session;
    bool isStuck;
    FilterRuleSet expected;
  };
  const std::vector<std::string> stored = {"Example.COM.", "news.site.org"};
  const Case cases[] = {
      {"session", sessionWith(stored), false, FilterRuleSet(1, State::blocking, sessionID, stored)},
      {"session while stuck", sessionWith(stored), true, FilterRuleSet(1, State::blocking, sessionID, stored)},
      {"no session", std::nullopt, false, FilterRuleSet(1, State::idle, std::nullopt, {})},
      {"no session, stuck", std::nullopt, true, FilterRuleSet(1, State::unknown, std::nullopt, {})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FilterRuleSet(c.session, c.isStuck), c.expected);
  }
}

TEST(FilterRuleSetTest, RuleHostsAreCleanDistinctAndInFirstOrder) {
  struct Case {
    const char* name;
    std::vector<std::string> domains;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"normalised", {" Example.COM.\n", "News.Site.org"}, {"example.com", "news.site.org"}},
      {"case and dots are one host", {"example.com", "EXAMPLE.com..", "b.org", "Example.Com"}, {"example.com", "b.org"}},
      {"first appearance wins", {"b.org", "a.org", "B.org"}, {"b.org", "a.org"}},
      {"dotted digits", {"10.0.0.1", "a.org"}, {"a.org"}},
      {"underscore", {"my_site.com", "a.org"}, {"a.org"}},
      {"empty label", {"a..org", ".a.org", "a.org"}, {"a.org"}},
      {"nothing left", {"", "  ", "..."}, {}},
      {"non-ASCII", {"stra\u00DFe.de", "\u212ADE.org"}, {"kde.org"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FilterRuleSet(1, State::blocking, sessionID, c.domains).ruleHosts(), c.expected);
  }
}

TEST(FilterRuleSetTest, OnlyVersionOneIsSupported) {
  for (std::int64_t version : {-1, 0, 1, 2}) {
    SCOPED_TRACE(version);
    EXPECT_EQ(FilterRuleSet(version, State::idle, std::nullopt, {}).isSupported(), version == 1);
  }
}

TEST(FilterRuleSetTest, EncodesAbsentSessionByOmission) {
  auto json = nlohmann::json::parse(FilterRuleSet(std::nullopt, false).encoded());
  EXPECT_EQ(json, nlohmann::json::parse(R"({"schemaVersion":1,"state":"idle","domains":[]})"));

  auto blocking = nlohmann::json::parse(FilterRuleSet(sessionWith({"a.org"}), false).encoded());
  EXPECT_EQ(blocking["sessionID"], "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9");
  EXPECT_EQ(blocking["state"], "blocking");
}

TEST(FilterRuleSetTest, RoundTripsEveryState) {
  for (const auto& rules : {FilterRuleSet(sessionWith({"A.org.", "b.org"}), false), FilterRuleSet(std::nullopt, false),
                            FilterRuleSet(std::nullopt, true), FilterRuleSet(7, State::blocking, std::nullopt, {"x"})}) {
    SCOPED_TRACE(rules.encoded());
    EXPECT_EQ(FilterRuleSet::decode(rules.encoded()), rules);
  }
}

TEST(FilterRuleSetTest, Decoding) {
  struct Case {
    const char* json;
    std::optional<FilterRuleSet> expected;  // nothing: the decode fails
  };
  const Case cases[] = {
      {R"({"schemaVersion":1,"state":"blocking","sessionID":"0a1b2c3d-4e5f-4061-8293-a4b5c6d7e8f9","domains":["a.org"]})",
       FilterRuleSet(1, State::blocking, sessionID, {"a.org"})},
      {R"({"schemaVersion":1,"state":"idle","sessionID":null,"domains":[]})",
       FilterRuleSet(1, State::idle, std::nullopt, {})},
      {R"({"schemaVersion":2,"state":"unknown","domains":[],"rules":{"future":true}})",
       FilterRuleSet(2, State::unknown, std::nullopt, {})},
      {R"({"schemaVersion":1,"state":"Idle","domains":[]})", std::nullopt},
      {R"({"schemaVersion":1,"state":"paused","domains":[]})", std::nullopt},
      {R"({"schemaVersion":1,"state":" idle","domains":[]})", std::nullopt},
      {R"({"schemaVersion":1,"state":0,"domains":[]})", std::nullopt},
      {R"({"schemaVersion":1,"state":null,"domains":[]})", std::nullopt},
      {R"({"schemaVersion":1,"domains":[]})", std::nullopt},
      {R"({"schemaVersion":1,"state":"idle"})", std::nullopt},
      {R"({"schemaVersion":1,"state":"idle","domains":null})", std::nullopt},
      {R"({"schemaVersion":1,"state":"idle","domains":["a.org",3]})", std::nullopt},
      {R"({"schemaVersion":1.5,"state":"idle","domains":[]})", std::nullopt},
      {R"({"state":"idle","domains":[]})", std::nullopt},
      {R"({"schemaVersion":1,"state":"blocking","sessionID":"not-a-uuid","domains":[]})", std::nullopt},
      {R"([])", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto decoded = FilterRuleSet::decode(c.json);
    if (c.expected) {
      EXPECT_EQ(decoded, *c.expected);
    } else {
      EXPECT_FALSE(decoded.has_value());
    }
  }
}

}  // namespace
}  // namespace hushwall
