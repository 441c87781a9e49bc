// The app's side of the daemon: the five methods of the app service, each
// taking and giving JSON bytes. Decodes, calls the one SessionCoordinator,
// encodes the answer. Every call first stamps the time of the last request,
// which the idle exit and the handover read.
//
// Replies: an empty string is the design's nil data. Errors are DaemonErrors
// only; any other engine error is logged and replaced by a fixed fallback.
//
// Thread-safety: every member may be called from any thread; the handler's
// only mutable state is `lastRequest`, behind its own lock.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "DaemonCore/BlockController.hpp"
#include "DaemonCore/SessionCoordinator.hpp"
#include "HushwallCore/DaemonHealth.hpp"
#include "HushwallCore/Date.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/FilterStatus.hpp"
#include "HushwallCore/Log.hpp"

namespace hushwall {

class DaemonRequestHandler {
 public:
  using Reply = std::expected<std::string, DaemonError>;

  struct Environment {
    std::function<Date()> now = [] { return Date::now(); };
    // Whether start-up left block management on (false after a stuck launch).
    std::function<bool()> blockManagement = [] { return true; };
    std::function<std::optional<FilterStatus>()> filterStatus = [] { return std::nullopt; };
  };

  // `startedAt` and the first `lastRequest` are the moment of construction.
  DaemonRequestHandler(SessionCoordinator& coordinator, BlockController blockController, Environment environment);

  [[nodiscard]] Reply startSession(std::string_view payload);
  [[nodiscard]] Reply saveSchedules(std::string_view payload);
  [[nodiscard]] std::string currentSession();
  [[nodiscard]] std::string schedules();
  [[nodiscard]] std::string healthCheck();

  // The record `healthCheck` encodes.
  [[nodiscard]] DaemonHealth health() const;
  // Seconds from the last request (of any method) to now.
  [[nodiscard]] double sinceLastRequest() const;

 private:
  void noteRequest();

  SessionCoordinator& coordinator_;
  const BlockController blockController_;
  const Environment environment_;
  const Date startedAt_;
  const Logger log_;

  mutable std::mutex lastRequestMutex_;
  Date lastRequest_;  // guarded by lastRequestMutex_
};

}  // namespace hushwall
