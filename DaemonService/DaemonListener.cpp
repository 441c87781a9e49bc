#include "DaemonService/DaemonListener.hpp"

#include <string>

#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {

std::expected<void, BusError> DaemonListener::start(BusConnection& bus) {
  using Reply = DaemonRequestHandler::Reply;
  DaemonRequestHandler& handler = handler_;
  const Logger log(LogSubsystem::daemon, "bus");
  BusService service{
      .busName = std::string(AppService::busName),
      .objectPath = std::string(AppService::objectPath),
      .interface = std::string(AppService::interface),
      .methods = {},
      .signalNames = {},
      .requirement = std::string(CodeSigningRequirement::forApp),
      .owner = owner_,
      .log = log,
      .acceptedLine = "accepted connection",
  };
  service.methods = {
      {std::string(AppService::startSession), true, true,
       [&handler](const BusCaller&, std::string_view payload) { return handler.startSession(payload); }},
      {std::string(AppService::saveSchedules), true, true,
       [&handler](const BusCaller&, std::string_view payload) { return handler.saveSchedules(payload); }},
      {std::string(AppService::currentSession), false, true,
       [&handler](const BusCaller&, std::string_view) { return Reply(handler.currentSession()); }},
      {std::string(AppService::schedules), false, true,
       [&handler](const BusCaller&, std::string_view) { return Reply(handler.schedules()); }},
      {std::string(AppService::healthCheck), false, true,
       [&handler](const BusCaller&, std::string_view) { return Reply(handler.healthCheck()); }},
  };
  auto served = bus.serve(std::move(service));
  if (!served) return served;
  log.notice(cat("listening on ", AppService::busName));
  return {};
}

}  // namespace hushwall
