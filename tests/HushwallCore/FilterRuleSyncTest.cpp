#include "HushwallCore/FilterRuleSync.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

using State = FilterRuleSet::State;
using Sync = FilterRuleSync;

const Uuid first = *Uuid::parse("11111111-1111-4111-8111-111111111111");
const Uuid second = *Uuid::parse("22222222-2222-4222-8222-222222222222");
const std::vector<std::string> blockingHosts = {"example.com", "news.site.org"};
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
  const struct { const char* steps; std::vector<std::string> hosts; std::optional<Uuid> session; } scenarios[] = {
      {"start > ask 1; answer 1 blocking > accepted changed, none; ring > ask 2; answer 2 otherSession > accepted changed, none; ring > ask 3; answer 3 idleWithLeftovers > accepted changed, none; ring > ask 4; answer 4 idle > accepted, none", {}, std::nullopt},
      {"start > ask 1; answer 1 blocking > accepted changed, none; ring > ask 2; answer 2 version2 > accepted kept unsupportedSchema, none; ring > ask 3; answer 3 version2Unknown > accepted kept unsupportedSchema, none; ring > ask 4; answer 4 unknown > accepted kept daemonUnsure, none", blockingHosts, first},
      {"start > ask 1; fail 1 > retry 2; retry > ask 2; answer 1 blocking > stale; answer 3 blocking > stale; fail 1 > none; answer 2 idle > accepted, none; answer 2 blocking > stale; fail 2 > none", {}, std::nullopt},
      {"start > ask 1; ring > held; ring > held; retry > none; fail 7 > none; answer 1 blocking > accepted changed, ask 2; answer 2 blocking > accepted, none", blockingHosts, first},
      {"start > ask 1; fail 1 > retry 2; answer 1 blocking > stale; fail 1 > none; retry > ask 2; fail 2 > retry 4; retry > ask 3; fail 3 > retry 8; retry > ask 4; fail 4 > retry 16; retry > ask 5; fail 5 > retry 32; "
       "retry > ask 6; fail 6 > retry 60; retry > ask 7; fail 7 > retry 60; retry > ask 8; answer 8 blocking > accepted changed, none; ring > ask 9; fail 9 > retry 2", blockingHosts, first},
      {"start > ask 1; answer 1 blocking > accepted changed, none; ring > ask 2; stop > stopped; answer 2 idle > stale; fail 2 > none; ring > none; retry > none", blockingHosts, first},
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
