// The network filter's side of the rules conversation, as a pure state machine:
// which ask is outstanding, which hosts are in force, when to ask again and the
// back-off after failures. It does no input or output; the filter's event loop
// feeds it what happened and carries out the effect it returns:
//
//   start()          on start-up              -> Ask: send a rule request tagged `id`
//   rang()           the doorbell signal      -> Ask, or None while one is outstanding
//   answered(r, id)  a rule set arrived       -> Answer: apply hosts() if rulesChanged,
//                                                then carry out Answer::next
//   failed(id)       no connection, no data,  -> Retry: (re)arm the one retry timer,
//                    or undecodable bytes        replacing any earlier one
//   retryFired()     that timer expired       -> Ask, or None when nothing is due
//
// Answers and failures carry the identifier of their ask, so a late reply to an
// older ask changes nothing. Identifiers only grow, across stop and start too.
// A plain value: not thread-safe, copy it freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

class FilterRuleSync {
 public:
  static constexpr double longestRetryDelay = 60;

  struct None {
    friend bool operator==(None, None) = default;
  };
  // Send a rule request now and report its result with this identifier.
  struct Ask {
    std::int64_t id = 0;
    friend bool operator==(Ask, Ask) = default;
  };
  // Arm the retry timer to call retryFired() after this many seconds.
  struct Retry {
    double after = 0;
    friend bool operator==(Retry, Retry) = default;
  };
  using Effect = std::variant<None, Ask, Retry>;

  // Why an accepted answer left the previous rules in force.
  enum class KeptReason {
    daemonUnsure,       // the daemon answered "unknown"
    unsupportedSchema,  // a rule set version this filter does not understand
  };

  struct Answer {
    bool rulesChanged = false;  // hosts() or sessionID() changed
    std::optional<KeptReason> kept;
    Effect next;
    bool wasAccepted = false;  // the answer belonged to the outstanding ask

    friend bool operator==(const Answer&, const Answer&) = default;
  };

  // Resets everything except the last identifier, then asks.
  [[nodiscard]] Effect start();
  [[nodiscard]] Effect rang();
  [[nodiscard]] Answer answered(const FilterRuleSet& rules, std::int64_t id);
  [[nodiscard]] Effect failed(std::int64_t id);
  [[nodiscard]] Effect retryFired();
  // Forgets the outstanding ask and any pending ring; keeps the hosts in force
  // and the counters. Every later event but start() does nothing.
  void stop();

  [[nodiscard]] const std::vector<std::string>& hosts() const { return hosts_; }
  [[nodiscard]] const std::optional<Uuid>& sessionID() const { return sessionID_; }
  [[nodiscard]] std::optional<std::int64_t> currentAsk() const { return currentAsk_; }
  [[nodiscard]] bool hasPendingRing() const { return hasPendingRing_; }
  [[nodiscard]] bool isStopped() const { return isStopped_; }
  [[nodiscard]] std::int64_t consecutiveFailures() const { return consecutiveFailures_; }
  [[nodiscard]] std::int64_t lastAskID() const { return lastAskID_; }

  friend bool operator==(const FilterRuleSync&, const FilterRuleSync&) = default;

 private:
  [[nodiscard]] Effect handOutAsk();
  [[nodiscard]] bool isCurrentAsk(std::int64_t id) const { return !isStopped_ && currentAsk_ == id; }

  std::vector<std::string> hosts_;  // from FilterRuleSet::ruleHosts
  std::optional<Uuid> sessionID_;   // the session hosts_ belong to
  std::optional<std::int64_t> currentAsk_;
  bool hasPendingRing_ = false;
  bool isStopped_ = false;
  std::int64_t consecutiveFailures_ = 0;  // since the last accepted answer
  std::int64_t lastAskID_ = 0;
};

// The JSON value and log text of a reason: "daemonUnsure" or "unsupportedSchema".
[[nodiscard]] std::string_view caseName(FilterRuleSync::KeptReason reason);

}  // namespace hushwall
