#include "Platform/FilterFollower.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

const Uuid first = *Uuid::parse("11111111-1111-4111-8111-111111111111");
const BusError away{"org.freedesktop.DBus.Error.ServiceUnknown", "not there"};

std::string rules(FilterRuleSet::State state, std::vector<std::string> domains = {}) {
  return FilterRuleSet(1, state, state == FilterRuleSet::State::idle ? std::nullopt : std::optional(first),
                       std::move(domains))
      .encoded();
}
std::string session(const std::optional<Uuid>& id) { return id ? " " + id->string().substr(0, 4) : ""; }

// A scripted daemon: each ask takes the next reply, then the daemon is away. Every ask, apply, report and armed
// retry is written to `transcript`; timers are armed, never waited for. The daemon is away or garbled three times,
// backing off (a ring meanwhile asks at once); the first answer, idle, is applied; the same rules again are not;
// nothing is due after an accepted answer; the daemon goes away, the rules lapse, and the same rules come back and
// are applied again.
TEST(FilterFollower, AppliesTheFirstAnswerThenOnlyChangesReportsEachApplyAndBacksOffWhileTheDaemonIsAway) {
  using State = FilterRuleSet::State;
  // clang-format off
  std::deque<std::expected<std::string, BusError>> replies = {
      std::unexpected(away), std::string("not json"), std::string(), rules(State::idle),
      rules(State::blocking, {"A.example", "a.example", "b.example"}), rules(State::blocking, {"a.example", "b.example"}),
      std::unexpected(away), rules(State::blocking, {"a.example", "b.example"}), rules(State::idle)};
  // clang-format on
  std::string transcript;
  int applies = 0;
  FilterFollower follower{
      {[&]() {
         transcript += "ask; ";
         auto reply = replies.empty() ? std::unexpected(away) : replies.front();
         if (!replies.empty()) replies.pop_front();
         return reply;
       },
       [&](const std::string& bytes) -> std::expected<void, BusError> {
         auto r = *FilterReport::decode(bytes);
         transcript += cat("report ", caseName(r.outcome), " ", r.ruleCount, session(r.sessionID), " ", r.filterVersion,
                           " ", r.detail.value_or(""), "; ");
         return {};
       }},
      {[&](const std::vector<std::string>& hosts, const std::optional<Uuid>& id) {
         transcript += "apply";
         for (const auto& host : hosts) transcript += " " + host;
         transcript += session(id) + "; ";
         return ++applies == 2 ? FilterFollower::Applied{FilterReport::Outcome::applyFailed, "no queue"}
                               : FilterFollower::Applied{};
       },
       [&](double seconds) { transcript += cat("retry ", static_cast<int>(seconds), "; "); }, [](std::string_view) {}},
      "9.9"};
  using F = FilterFollower;
  for (auto event : {&F::start, &F::retryFired, &F::rang, &F::retryFired, &F::rang, &F::rang, &F::retryFired, &F::rang,
                     &F::lapse, &F::retryFired, &F::rang}) {
    (follower.*event)();
  }
  EXPECT_EQ(transcript,
            "ask; retry 2; ask; retry 4; ask; retry 8; ask; apply; report applied 0 9.9 ; "
            "ask; apply a.example b.example 1111; report applyFailed 2 1111 9.9 no queue; ask; ask; retry 2; apply; "
            "ask; apply a.example b.example 1111; report applied 2 1111 9.9 ; ask; apply; report applied 0 9.9 ; ");
}

}  // namespace
}  // namespace hushwall
