// The filter's side of the daemon: answers rule requests from the coordinator
// and keeps the filter's last report for the health check. A report changes
// nothing else: not the session, the rules or the doorbell.
//
// Thread-safety: every member may be called from any thread. The last report
// is guarded by its own lock, held only to swap or copy it.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "DaemonCore/SessionCoordinator.hpp"
#include "HushwallCore/Date.hpp"
#include "HushwallCore/FilterReport.hpp"
#include "HushwallCore/FilterStatus.hpp"
#include "HushwallCore/Log.hpp"

namespace hushwall {

class FilterRulesHandler {
 public:
  explicit FilterRulesHandler(
      SessionCoordinator& coordinator, std::function<Date()> now = [] { return Date::now(); });

  // The current FilterRuleSet as JSON.
  [[nodiscard]] std::string currentRules() const;
  // Stores a decodable report of at most FilterReport::maxEncodedSize bytes
  // with its arrival time; anything else is logged and dropped, the stored
  // report left as it was.
  void report(std::string_view payload);
  // The last report and its age; absent before the first one.
  [[nodiscard]] std::optional<FilterStatus> status() const;

 private:
  struct Received {
    FilterReport report;
    Date at;
  };

  SessionCoordinator& coordinator_;
  const std::function<Date()> now_;
  const Logger log_;

  mutable std::mutex lastReportMutex_;
  std::optional<Received> lastReport_;  // guarded by lastReportMutex_
};

}  // namespace hushwall
