#include "HushwallCore/FilterRuleSync.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "HushwallCore/Strings.hpp"

namespace hushwall {

namespace {

using State = FilterRuleSet::State;
using Sync = FilterRuleSync;

const Uuid firstSession = *Uuid::parse("11111111-1111-4111-8111-111111111111");
const Uuid secondSession = *Uuid::parse("22222222-2222-4222-8222-222222222222");

const FilterRuleSet blocking(1, State::blocking, firstSession, {"Example.com.", "news.site.org", "EXAMPLE.COM"});
const FilterRuleSet otherHosts(1, State::blocking, firstSession, {"news.site.org", "example.com"});
const FilterRuleSet otherSession(1, State::blocking, secondSession, {"example.com", "news.site.org"});
const FilterRuleSet idle(std::nullopt, false);
// Idle means no hosts and no session, whatever else the record carries.
const FilterRuleSet idleWithLeftovers(1, State::idle, secondSession, {"other.org"});
const FilterRuleSet unknown(std::nullopt, true);
const FilterRuleSet version2(2, State::blocking, secondSession, {"other.org"});
const FilterRuleSet version2Unknown(2, State::unknown, std::nullopt, {});
const std::vector<std::string> blockingHosts = {"example.com", "news.site.org"};

std::string render(const Sync::Effect& effect) {
  if (const auto* ask = std::get_if<Sync::Ask>(&effect)) return cat("ask ", ask->id);
  if (const auto* retry = std::get_if<Sync::Retry>(&effect)) {
    auto whole = static_cast<std::int64_t>(retry->after);
    return whole == retry->after ? cat("retry ", whole) : cat("retry ", std::to_string(retry->after));
  }
  return "none";
}

// "stale" for the untouched answer; otherwise what was accepted, changed or
// kept, and what comes next.
std::string render(const Sync::Answer& answer) {
  if (answer == Sync::Answer{}) return "stale";
  std::string out = answer.wasAccepted ? "accepted" : "not accepted";
  if (answer.rulesChanged) out += " changed";
  if (answer.kept) out += cat(" kept ", caseName(*answer.kept));
  if (answer.restatesReport()) out += " restates";
  return cat(out, ", ", render(answer.next));
}

using Event = std::function<std::string(Sync&)>;

const Event start = [](Sync& sync) { return render(sync.start()); };
// A ring held for after the outstanding ask answers "held" rather than "none".
const Event ring = [](Sync& sync) {
  auto effect = render(sync.rang());
  return effect == "none" && sync.hasPendingRing() ? std::string("held") : effect;
};
const Event retryFired = [](Sync& sync) { return render(sync.retryFired()); };
const Event stop = [](Sync& sync) {
  sync.stop();
  return std::string("stopped");
};
Event answer(std::int64_t id, const FilterRuleSet& rules) {
  return [id, &rules](Sync& sync) { return render(sync.answered(rules, id)); };
}
Event fail(std::int64_t id) {
  return [id](Sync& sync) { return render(sync.failed(id)); };
}

struct Step {
  Event event;
  std::string expected;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> hosts;  // in force at the end
  std::optional<Uuid> sessionID;
};

TEST(FilterRuleSyncTest, Transitions) {
  const Scenario scenarios[] = {
      {"a blocking answer puts its clean hosts in force",
       {{start, "ask 1"}, {answer(1, blocking), "accepted changed, none"}},
       blockingHosts,
       firstSession},
      {"idle after blocking clears hosts and session",
       {{start, "ask 1"},
        {answer(1, blocking), "accepted changed, none"},
        {ring, "ask 2"},
        {answer(2, idleWithLeftovers), "accepted changed, none"},
        {ring, "ask 3"},
        {answer(3, idle), "accepted restates, none"}},
       {},
       std::nullopt},
      {"another schema version keeps the rules in force, whatever its state",
       {{start, "ask 1"},
        {answer(1, blocking), "accepted changed, none"},
        {ring, "ask 2"},
        {answer(2, version2), "accepted kept unsupportedSchema, none"},
        {ring, "ask 3"},
        {answer(3, version2Unknown), "accepted kept unsupportedSchema, none"}},
       blockingHosts,
       firstSession},
      {"late, repeated and unknown identifiers are stale",
       {{start, "ask 1"},
        {fail(1), "retry 2"},
        {retryFired, "ask 2"},
        {answer(1, blocking), "stale"},
        {answer(3, blocking), "stale"},
        {fail(1), "none"},
        {answer(2, idle), "accepted restates, none"},
        {answer(2, blocking), "stale"},
        {fail(2), "none"}},
       {},
       std::nullopt},
      {"rings during an ask are served once, after it",
       {{start, "ask 1"},
        {ring, "held"},
        {ring, "held"},
        {retryFired, "none"},
        {fail(7), "none"},
        {answer(1, blocking), "accepted changed, ask 2"},
        {answer(2, blocking), "accepted restates, none"}},
       blockingHosts,
       firstSession},
      {"back-off doubles to the longest delay and an accepted answer resets it",
       {{start, "ask 1"},      {fail(1), "retry 2"},  {answer(1, blocking), "stale"},
        {fail(1), "none"},     {retryFired, "ask 2"}, {fail(2), "retry 4"},
        {retryFired, "ask 3"}, {fail(3), "retry 8"},  {retryFired, "ask 4"},
        {fail(4), "retry 16"}, {retryFired, "ask 5"}, {fail(5), "retry 32"},
        {retryFired, "ask 6"}, {fail(6), "retry 60"}, {retryFired, "ask 7"},
        {fail(7), "retry 60"}, {retryFired, "ask 8"}, {answer(8, blocking), "accepted changed, none"},
        {ring, "ask 9"},       {fail(9), "retry 2"}},
       blockingHosts,
       firstSession},
  };
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    Sync sync;
    for (std::size_t index = 0; index < scenario.steps.size(); ++index) {
      SCOPED_TRACE(cat("step ", index + 1));
      const Sync before = sync;
      const auto& step = scenario.steps[index];
      EXPECT_EQ(step.event(sync), step.expected);
      if (step.expected == "stale" || step.expected == "none") {
        EXPECT_TRUE(sync == before) << "an ignored event changed the machine";
      }
    }
    EXPECT_EQ(sync.hosts(), scenario.hosts);
    EXPECT_EQ(sync.sessionID(), scenario.sessionID);
  }
}

}  // namespace
}  // namespace hushwall
