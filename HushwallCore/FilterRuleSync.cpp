#include "HushwallCore/FilterRuleSync.hpp"

#include <algorithm>

#include <utility>
#include "HushwallCore/CaseNames.hpp"

namespace hushwall {
namespace {

constexpr CaseName<FilterRuleSync::KeptReason> keptReasonNames[] = {
    {FilterRuleSync::KeptReason::daemonUnsure, "daemonUnsure"},
    {FilterRuleSync::KeptReason::unsupportedSchema, "unsupportedSchema"}};

// 2, 4, 8, 16, 32, then the longest delay for good; no shift can overflow.
double retryDelay(std::int64_t failures) {
  constexpr std::int64_t lastDoubling = 5;
  if (failures > lastDoubling) return FilterRuleSync::longestRetryDelay;
  return std::min(static_cast<double>(std::int64_t{1} << failures), FilterRuleSync::longestRetryDelay);
}

}  // namespace

std::string_view caseName(FilterRuleSync::KeptReason reason) { return nameIn(keptReasonNames, reason); }

FilterRuleSync::Effect FilterRuleSync::handOutAsk() {
  ++lastAskID_;
  currentAsk_ = lastAskID_;
  hasPendingRing_ = false;
  return Ask{lastAskID_};
}

FilterRuleSync::Effect FilterRuleSync::start() {
  FilterRuleSync fresh;
  fresh.lastAskID_ = lastAskID_;
  *this = std::move(fresh);
  return handOutAsk();
}

FilterRuleSync::Effect FilterRuleSync::rang() {
  if (isStopped_) return None{};
  if (currentAsk_) {
    hasPendingRing_ = true;  // served once the outstanding ask ends
    return None{};
  }
  return handOutAsk();
}

FilterRuleSync::Answer FilterRuleSync::answered(const FilterRuleSet& rules, std::int64_t id) {
  if (!isCurrentAsk(id)) return Answer{};
  currentAsk_.reset();
  consecutiveFailures_ = 0;

  Answer answer;
  answer.wasAccepted = true;
  if (!rules.isSupported()) {
    answer.kept = KeptReason::unsupportedSchema;
  } else if (rules.state == FilterRuleSet::State::unknown) {
    answer.kept = KeptReason::daemonUnsure;
  } else {
    bool isBlocking = rules.state == FilterRuleSet::State::blocking;
    std::vector<std::string> hosts = isBlocking ? rules.ruleHosts() : std::vector<std::string>{};
    std::optional<Uuid> sessionID = isBlocking ? rules.sessionID : std::nullopt;
    answer.rulesChanged = hosts != hosts_ || sessionID != sessionID_;
    hosts_ = std::move(hosts);
    sessionID_ = sessionID;
  }
  if (hasPendingRing_) answer.next = handOutAsk();
  return answer;
}

FilterRuleSync::Effect FilterRuleSync::failed(std::int64_t id) {
  if (!isCurrentAsk(id)) return None{};
  currentAsk_.reset();
  hasPendingRing_ = false;  // the retry asks anew, which serves the ring too
  ++consecutiveFailures_;
  return Retry{retryDelay(consecutiveFailures_)};
}

FilterRuleSync::Effect FilterRuleSync::retryFired() {
  if (isStopped_ || currentAsk_ || consecutiveFailures_ < 1) return None{};
  return handOutAsk();
}

void FilterRuleSync::stop() {
  isStopped_ = true;
  currentAsk_.reset();
  hasPendingRing_ = false;
}

}  // namespace hushwall
