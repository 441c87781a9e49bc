#include "Platform/FilterFollower.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "HushwallCore/FilterRuleSet.hpp"

namespace hushwall {
namespace {

using Applied = std::pair<std::vector<std::string>, std::optional<Uuid>>;
using Outcome = FilterReport::Outcome;
const Uuid first = *Uuid::parse("11111111-1111-4111-8111-111111111111");

std::string blocking(std::vector<std::string> domains) {
  return FilterRuleSet(1, FilterRuleSet::State::blocking, first, std::move(domains)).encoded();
}
const std::string idle = FilterRuleSet(1, FilterRuleSet::State::idle, std::nullopt, {}).encoded();
const BusError away{"org.freedesktop.DBus.Error.ServiceUnknown", "not there"};

// A scripted daemon: each ask takes the next reply, then the daemon is away. Timers are armed, never waited for.
class FilterFollowerTest : public ::testing::Test {
 protected:
  FilterFollower follower{{[this]() -> std::expected<std::string, BusError> {
                             ++asks;
                             if (replies.empty()) return std::unexpected(away);
                             auto reply = replies.front();
                             replies.pop_front();
                             return reply;
                           },
                           [this](const std::string& bytes) -> std::expected<void, BusError> {
                             reports.push_back(*FilterReport::decode(bytes));
                             return {};
                           }},
                          {[this](const std::vector<std::string>& hosts, const std::optional<Uuid>& id) {
                             applied.push_back({hosts, id});
                             return applied.size() <= applyResults.size() ? applyResults[applied.size() - 1]
                                                                          : FilterFollower::Applied{};
                           },
                           [this](double seconds) { retries.push_back(seconds); }, [](std::string_view) {}},
                          "9.9"};
  std::deque<std::expected<std::string, BusError>> replies;
  std::vector<FilterFollower::Applied> applyResults;  // per apply, when given
  int asks = 0;
  std::vector<FilterReport> reports;
  std::vector<Applied> applied;
  std::vector<double> retries;
};

TEST_F(FilterFollowerTest, AppliesTheFirstAnswerThenOnlyChangesAndReportsEachApplyAsItWent) {
  replies = {idle, blocking({"A.example", "a.example", "b.example"}), blocking({"a.example", "b.example"}), idle};
  applyResults = {{}, {Outcome::applyFailed, "no queue"}, {}};
  follower.start();
  follower.rang();
  follower.rang();  // the same rules again: nothing applied, nothing reported
  follower.rang();
  EXPECT_EQ(asks, 4);
  EXPECT_EQ(applied,
            (std::vector<Applied>{{{}, std::nullopt}, {{"a.example", "b.example"}, first}, {{}, std::nullopt}}));
  EXPECT_EQ(reports, (std::vector<FilterReport>{{1, Outcome::applied, std::nullopt, 0, "9.9", std::nullopt},
                                                {1, Outcome::applyFailed, first, 2, "9.9", "no queue"},
                                                {1, Outcome::applied, std::nullopt, 0, "9.9", std::nullopt}}));
  EXPECT_TRUE(retries.empty());
}

TEST_F(FilterFollowerTest, BacksOffWhileTheDaemonIsAwayAndReappliesLapsedRulesItRestates) {
  replies = {std::unexpected(away), std::string("not json"), std::string()};
  follower.start();
  follower.retryFired();
  follower.retryFired();
  follower.rang();        // a ring during back-off asks at once, and fails again
  follower.retryFired();  // empty script: still away
  EXPECT_EQ(retries, (std::vector<double>{2, 4, 8, 16, 32}));
  EXPECT_TRUE(applied.empty() && reports.empty());

  replies = {blocking({"x.example"}), std::unexpected(away), blocking({"x.example"})};
  follower.retryFired();
  follower.retryFired();  // nothing is due after an accepted answer
  EXPECT_EQ(asks, 6);
  follower.rang();  // away again
  follower.lapse();
  follower.retryFired();  // back, with the same rules
  EXPECT_EQ(applied, (std::vector<Applied>{{{"x.example"}, first}, {{}, std::nullopt}, {{"x.example"}, first}}));
  EXPECT_EQ(retries.size(), 6u);
}

}  // namespace
}  // namespace hushwall
