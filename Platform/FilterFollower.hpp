// The filter's side of the rules channel, driven for real: FilterRuleSync says
// when to ask and which rules are in force, FilterApplyState serialises the
// applies, and this class carries out their effects through a channel (rule
// requests and reports) and an output (apply the hosts, arm the retry timer,
// tell the user). Applying means handing the hosts in force to the output,
// which says how it went; that outcome is what the daemon is told.
//
// Thread-safety: none; every member must be called on one thread (the bus
// connection's serial queue). Channel and output calls are made on that thread.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/FilterApplyState.hpp"
#include "HushwallCore/FilterReport.hpp"
#include "HushwallCore/FilterRuleSync.hpp"
#include "HushwallCore/Uuid.hpp"
#include "Platform/BusConnection.hpp"

namespace hushwall {

class FilterFollower {
 public:
  struct Channel {
    // The daemon's CurrentRules reply bytes.
    std::function<std::expected<std::string, BusError>()> currentRules;
    std::function<std::expected<void, BusError>(const std::string& reportBytes)> report;
  };
  // How an apply went: reported as it is.
  struct Applied {
    FilterReport::Outcome outcome = FilterReport::Outcome::applied;
    std::optional<std::string> detail;
  };
  struct Output {
    // Put the hosts now in force, and the session they belong to, into effect.
    std::function<Applied(const std::vector<std::string>& hosts, const std::optional<Uuid>& sessionID)> apply;
    // Arm the one retry timer (replacing an armed one) to call retryFired().
    std::function<void(double seconds)> armRetry;
    // One line about the channel for the user: failures, back-off, reports.
    std::function<void(std::string_view line)> note;
  };

  FilterFollower(Channel channel, Output output, std::string filterVersion);

  // Asks for the first rules; their first accepted answer is always applied.
  void start();
  // The doorbell rang.
  void rang();
  // The rules service changed hands (the daemon came or went): ask again, and
  // report again even if the rules are unchanged, since a new daemon has no report.
  void serviceChanged();
  void retryFired();
  void stop();
  // The rules in force have lapsed (the daemon has been away too long): apply
  // no hosts now, and apply the next accepted answer even if it is unchanged.
  void lapse();

  [[nodiscard]] const FilterRuleSync& sync() const { return sync_; }
  // The last report made, whether or not it reached the daemon.
  [[nodiscard]] const std::optional<FilterReport>& lastReport() const { return lastReport_; }

 private:
  void perform(FilterRuleSync::Effect effect);
  void applyAll();
  void send(FilterReport report);

  Channel channel_;
  Output output_;
  std::string filterVersion_;
  FilterRuleSync sync_;
  FilterApplyState apply_;
  bool hasApplied_ = false;                 // the first accepted answer is applied even if it changes nothing
  bool mustRestate_ = false;                // the last report may not have reached the daemon that serves now
  std::optional<FilterReport> lastReport_;  // the last report made, delivered or not
};

}  // namespace hushwall
