#include "DaemonService/DaemonRequestHandler.hpp"

#include <unistd.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "DaemonService/BuildInfo.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/StartSessionRequest.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

// A failed engine call as the app sees it: its DaemonError, or `fallback` for
// any other error, whose description only the log gets.
DaemonError refusal(const Logger& log, std::string_view method, const Error& error, DaemonError fallback) {
  if (auto refused = asDaemonError(error)) {
    log.error(cat(method, " refused: ", caseName(*refused)));
    return *refused;
  }
  log.error(cat(method, " failed: ", describe(error)));
  return fallback;
}

}  // namespace

DaemonRequestHandler::DaemonRequestHandler(SessionCoordinator& coordinator, BlockController blockController,
                                           Environment environment)
    : coordinator_(coordinator),
      blockController_(std::move(blockController)),
      environment_(std::move(environment)),
      startedAt_(environment_.now()),
      log_(LogSubsystem::daemon, "requests"),
      lastRequest_(startedAt_) {}

void DaemonRequestHandler::noteRequest() {
  Date now = environment_.now();
  std::lock_guard lock(lastRequestMutex_);
  lastRequest_ = now;
}

double DaemonRequestHandler::sinceLastRequest() const {
  Date last;
  {
    std::lock_guard lock(lastRequestMutex_);
    last = lastRequest_;
  }
  return environment_.now() - last;
}

DaemonRequestHandler::Reply DaemonRequestHandler::startSession(std::string_view payload) {
  noteRequest();
  auto request = StartSessionRequest::decode(payload);
  if (!request) {
    log_.error(cat("startSession: undecodable request: ", request.error().reason));
    return std::unexpected(DaemonError::invalidDomain);
  }
  auto started = coordinator_.start(request->domains, request->duration);
  if (!started) return std::unexpected(refusal(log_, "startSession", started.error(), DaemonError::hostsWriteFailed));
  return started->encoded();
}

DaemonRequestHandler::Reply DaemonRequestHandler::saveSchedules(std::string_view payload) {
  noteRequest();
  auto list = Schedule::decodeList(payload);
  if (!list) {
    log_.error(cat("saveSchedules: undecodable request: ", list.error().reason));
    return std::unexpected(DaemonError::invalidSchedule);
  }
  auto saved = coordinator_.saveSchedules(*list);
  if (!saved) return std::unexpected(refusal(log_, "saveSchedules", saved.error(), DaemonError::invalidSchedule));
  return coordinator_.scheduleSet().encoded();
}

std::string DaemonRequestHandler::currentSession() {
  noteRequest();
  auto session = coordinator_.current();
  return session ? session->encoded() : std::string();
}

std::string DaemonRequestHandler::schedules() {
  noteRequest();
  return coordinator_.scheduleSet().encoded();
}

std::string DaemonRequestHandler::healthCheck() {
  noteRequest();
  DaemonHealth record = health();
  log_.debug(cat("healthCheck uid=", record.uid));
  return record.encoded();
}

DaemonHealth DaemonRequestHandler::health() const {
  const BuildInfo& info = buildInfo();
  bool canManageBlock =
      blockController_.hasActiveBlock().has_value() && environment_.blockManagement() && !coordinator_.isStuck();
  return DaemonHealth{
      .version = info.version,
      .uid = static_cast<std::uint32_t>(getuid()),
      .hasActiveSession = coordinator_.current().has_value(),
      .uptime = environment_.now() - startedAt_,
      .canManageBlock = canManageBlock,
      .scheduleFailure = coordinator_.scheduleFailureReason(),
      .filter = environment_.filterStatus(),
      .build = info.build,
  };
}

}  // namespace hushwall
