#include "Platform/FilterFollower.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "HushwallCore/FilterRuleSet.hpp"

namespace hushwall {
namespace {

const Uuid first = *Uuid::parse("11111111-1111-4111-8111-111111111111");
const Uuid second = *Uuid::parse("22222222-2222-4222-8222-222222222222");

std::string blocking(const Uuid& id, std::vector<std::string> domains) {
  return FilterRuleSet(1, FilterRuleSet::State::blocking, id, std::move(domains)).encoded();
}
const std::string idle = FilterRuleSet(1, FilterRuleSet::State::idle, std::nullopt, {}).encoded();
const BusError away{"org.freedesktop.DBus.Error.ServiceUnknown", "not there"};

// A scripted daemon: each ask takes the next reply; reports are kept. Timers
// are armed, never waited for.
class FilterFollowerTest : public ::testing::Test {
 protected:
  FilterFollower make() {
    return FilterFollower({[this]() -> std::expected<std::string, BusError> {
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
                             return applyResult;
                           },
                           [this](double seconds) { retries.push_back(seconds); },
                           [this](std::string_view line) { notes.emplace_back(line); }},
                          "9.9");
  }

  std::deque<std::expected<std::string, BusError>> replies;
  FilterFollower::Applied applyResult;
  int asks = 0;
  std::vector<FilterReport> reports;
  std::vector<std::pair<std::vector<std::string>, std::optional<Uuid>>> applied;
  std::vector<double> retries;
  std::vector<std::string> notes;
};

TEST_F(FilterFollowerTest, AppliesTheFirstAnswerThenOnlyChangesAndReportsEachApply) {
  FilterFollower follower = make();
  replies = {idle, blocking(first, {"A.example", "a.example", "b.example"}),
             blocking(first, {"a.example", "b.example"}), idle};
  follower.start();
  follower.rang();
  follower.rang();  // the same rules again: nothing applied, nothing reported
  follower.rang();
  EXPECT_EQ(asks, 4);
  using Applied = std::pair<std::vector<std::string>, std::optional<Uuid>>;
  EXPECT_EQ(applied,
            (std::vector<Applied>{{{}, std::nullopt}, {{"a.example", "b.example"}, first}, {{}, std::nullopt}}));
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[1], (FilterReport{1, FilterReport::Outcome::applied, first, 2, "9.9", std::nullopt}));
  EXPECT_EQ(reports[2], (FilterReport{1, FilterReport::Outcome::applied, std::nullopt, 0, "9.9", std::nullopt}));
  EXPECT_TRUE(retries.empty());
}

TEST_F(FilterFollowerTest, ReportsAFailedApplyWithItsDetail) {
  FilterFollower follower = make();
  replies = {blocking(first, {"a.example"})};
  applyResult = {FilterReport::Outcome::applyFailed, "no queue"};
  follower.start();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], (FilterReport{1, FilterReport::Outcome::applyFailed, first, 1, "9.9", "no queue"}));
}

TEST_F(FilterFollowerTest, BacksOffWhileTheDaemonIsAwayAndPicksUpWhenItReturns) {
  FilterFollower follower = make();
  replies = {std::unexpected(away), std::string("not json"), std::string()};
  follower.start();
  follower.retryFired();
  follower.retryFired();
  follower.rang();        // a ring during back-off asks at once, and fails again
  follower.retryFired();  // empty script: still away
  EXPECT_EQ(retries, (std::vector<double>{2, 4, 8, 16, 32}));
  EXPECT_TRUE(applied.empty());
  EXPECT_TRUE(reports.empty());

  replies = {blocking(second, {"x.example"})};
  follower.retryFired();
  EXPECT_EQ(applied.size(), 1u);
  EXPECT_EQ(follower.sync().consecutiveFailures(), 0);
  follower.retryFired();  // nothing is due after an accepted answer
  EXPECT_EQ(asks, 6);
  EXPECT_EQ(retries.size(), 5u);
}

TEST_F(FilterFollowerTest, RulesThatLapsedAreAppliedAgainWhenTheDaemonRestatesThem) {
  FilterFollower follower = make();
  replies = {blocking(first, {"a.example"}), std::unexpected(away), blocking(first, {"a.example"})};
  follower.start();
  follower.rang();  // the daemon is away
  follower.lapse();
  follower.retryFired();  // back, with the same rules
  using Applied = std::pair<std::vector<std::string>, std::optional<Uuid>>;
  EXPECT_EQ(applied, (std::vector<Applied>{{{"a.example"}, first}, {{}, std::nullopt}, {{"a.example"}, first}}));
  EXPECT_EQ(follower.sync().hosts(), std::vector<std::string>{"a.example"});
}

}  // namespace
}  // namespace hushwall
