// The filter's rules: names as the user gives them, as the rules hold them and as the flow matcher
// judges them, and the follower that keeps a copy of the daemon's rules in step.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "HushwallCore/DomainValidator.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/FilterRuleSync.hpp"
#include "HushwallCore/FlowRules.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

using List = std::vector<std::string>;
using namespace std::string_literals;
using State = FilterRuleSet::State;
using Sync = FilterRuleSync;

const Uuid first = *Uuid::parse("11111111-1111-4111-8111-111111111111");
const Uuid second = *Uuid::parse("22222222-2222-4222-8222-222222222222");

// Lower-casing with first occurrences kept in order, and the 501st name, are in the coordinator's start table.
TEST(DomainValidator, NormalisesOrRefusesTheWholeList) {
  using Result = std::expected<List, DaemonError>;
  const Result invalid = std::unexpected(DaemonError::invalidDomain);
  const std::string l63(63, 'a'), of253 = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'a');
  // clang-format off
  const std::pair<List, Result> rows[] = {
      {{"localhost", "123.456", "ex--ample.com", "\xE2\x84\xAA" "ELVIN.org"}, List{"localhost", "123.456", "ex--ample.com", "kelvin.org"}},
      {{of253, l63 + ".com"}, List{of253, l63 + ".com"}},
      {List(500, "same.com"), List{"same.com"}},
      {List(100000, "bad domain"), std::unexpected(DaemonError::tooManyDomains)},  // the count comes before the entries
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
  // clang-format off
  const std::pair<List, List> rows[] = {
      {{" B.org.\n", "\u00A0Example.COM\u3000", "b.ORG..", "example.com"}, {"b.org", "example.com"}},
      {{"10.0.0.1", "12345", "my_site.com", "a..org", ".a.org", "exa mple.com", "1.2.3.a", "-a-.b-", "123abc"}, {"1.2.3.a", "-a-.b-", "123abc"}},
      {{"", "  ", "...", "stra\u00DFe.de", "\u0085\u212ADE.org\u2028", std::string(300, 'a')}, {"kde.org", std::string(300, 'a')}},
  };
  // clang-format on
  for (const auto& [domains, expected] : rows) {
    EXPECT_EQ(FilterRuleSet(1, State::blocking, first, domains).ruleHosts(), expected) << domains[0];
  }
}

// A blocked name blocks itself and what ends in "." and it, never what merely ends in its letters. The matcher looks
// up what follows each dot, skipping dot counts no blocked name has and counting past 63 dots as one: odd names,
// and names deeper than that, on either side.
TEST(FlowRules, BlocksANameAndItsSubdomainsOnly) {
  std::string deep = "com";
  for (int label = 0; label < 70; ++label) deep = "a." + deep;
  const FlowRules rules(List{"example.com", "ample.com", "com.example", "1.a", "..com", ".x", "a-b", deep});
  // clang-format off
  const std::pair<List, std::optional<FlowRules::Verdict>> rows[] = {
      {{"example.com", "www.EXAMPLE.com. ", "a.b.ample.com", "x.com.example", "2.1.a", "..com", "x...com", "a..x", "..x", "A-B.a-b", deep, "b." + deep}, FlowRules::Verdict::block},
      {{"xample.com", "com", "example", "example.com.x", "com.example.org", "1.a.b", "b-a", "x", deep.substr(2), "x." + deep.substr(2)}, FlowRules::Verdict::allow},
      {{"", " . ", "..."}, std::nullopt},
  };
  // clang-format on
  for (const auto& [hosts, expected] : rows)
    for (const auto& host : hosts) EXPECT_EQ(rules.verdict(host), expected) << host;
}

const List blockingHosts = {"example.com", "news.site.org"};
// Idle means no hosts and no session, whatever else the record carries.
const std::map<std::string, FilterRuleSet> ruleSets = {
    {"blocking", FilterRuleSet(1, State::blocking, first, {"Example.com.", "news.site.org", "EXAMPLE.COM"})},
    {"otherSession", FilterRuleSet(1, State::blocking, second, blockingHosts)},
    {"idle", FilterRuleSet(std::nullopt, false)},
    {"idleWithLeftovers", FilterRuleSet(1, State::idle, second, {"other.org"})},
    {"unknown", FilterRuleSet(std::nullopt, true)},
    {"version2", FilterRuleSet(2, State::blocking, second, {"other.org"})},
    {"version2Unknown", FilterRuleSet(2, State::unknown, std::nullopt, {})},
};

std::string said(const Sync::Effect& effect) {
  if (const auto* ask = std::get_if<Sync::Ask>(&effect)) return cat("ask ", ask->id);
  if (const auto* retry = std::get_if<Sync::Retry>(&effect))
    return (std::ostringstream() << "retry " << retry->after).str();
  return "none";
}

// One event: "start", "ring", "retry" (the timer fired), "stop", "fail ID" or "answer ID RULES". It says the effect;
// for an answer "stale" when it was ignored, else what changed or was kept and what comes next; "held" for a ring
// kept for after the outstanding ask.
std::string run(Sync& sync, const std::string& event) {
  std::istringstream words(event);
  std::string verb, rules;
  std::int64_t id = 0;
  words >> verb >> id >> rules;
  if (verb == "start") return said(sync.start());
  if (verb == "retry") return said(sync.retryFired());
  if (verb == "fail") return said(sync.failed(id));
  if (verb == "stop") {
    sync.stop();
    return "stopped";
  }
  if (verb == "ring") {
    auto effect = said(sync.rang());
    return effect == "none" && sync.hasPendingRing() ? "held" : effect;
  }
  const auto answer = sync.answered(ruleSets.at(rules), id);
  if (answer == Sync::Answer{}) return "stale";
  return cat(answer.wasAccepted ? "accepted" : "?", answer.rulesChanged ? " changed" : "",
             answer.kept ? cat(" kept ", caseName(*answer.kept)) : "", ", ", said(answer.next));
}

TEST(FilterRuleSync, Transitions) {
  // Steps "event > what it did", separated by "; "; then the hosts and session in force at the end.
  // clang-format off
  const struct { const char* steps; List hosts; std::optional<Uuid> session; } scenarios[] = {
      {"start > ask 1; answer 1 blocking > accepted changed, none; ring > ask 2; answer 2 otherSession > accepted changed, none; ring > ask 3; answer 3 idleWithLeftovers > accepted changed, none; ring > ask 4; answer 4 idle > accepted, none; "
       "start > ask 5; fail 5 > retry 2; retry > ask 6; answer 5 blocking > stale; answer 7 blocking > stale; fail 5 > none; answer 6 idle > accepted, none; answer 6 blocking > stale; fail 6 > none", {}, std::nullopt},
      {"start > ask 1; answer 1 blocking > accepted changed, none; ring > ask 2; answer 2 version2 > accepted kept unsupportedSchema, none; ring > ask 3; answer 3 version2Unknown > accepted kept unsupportedSchema, none; ring > ask 4; answer 4 unknown > accepted kept daemonUnsure, none", blockingHosts, first},
      {"start > ask 1; ring > held; ring > held; retry > none; fail 7 > none; answer 1 blocking > accepted changed, ask 2; answer 2 blocking > accepted, none; ring > ask 3; stop > stopped; answer 3 idle > stale; fail 3 > none; ring > none; retry > none", blockingHosts, first},
      {"start > ask 1; fail 1 > retry 2; answer 1 blocking > stale; fail 1 > none; retry > ask 2; fail 2 > retry 4; retry > ask 3; fail 3 > retry 8; retry > ask 4; fail 4 > retry 16; retry > ask 5; fail 5 > retry 32; "
       "retry > ask 6; fail 6 > retry 60; retry > ask 7; fail 7 > retry 60; retry > ask 8; answer 8 blocking > accepted changed, none; ring > ask 9; fail 9 > retry 2", blockingHosts, first},
  };
  // clang-format on
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.steps);
    Sync sync;
    std::istringstream steps(scenario.steps);
    for (std::string step; std::getline(steps >> std::ws, step, ';');) {
      const auto arrow = step.find(" > ");
      const std::string expected = step.substr(arrow + 3);
      const Sync before = sync;
      ASSERT_EQ(run(sync, step.substr(0, arrow)), expected) << step;
      EXPECT_TRUE(sync == before || (expected != "stale" && expected != "none"))
          << step << ": an ignored event changed it";
    }
    EXPECT_EQ(sync.hosts(), scenario.hosts);
    EXPECT_EQ(sync.sessionID(), scenario.session);
  }
}

}  // namespace
}  // namespace hushwall
