#include "DaemonService/FilterRulesListener.hpp"

#include <string>

#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {

std::expected<void, BusError> FilterRulesListener::start(BusConnection& bus) {
  using Reply = std::expected<std::string, DaemonError>;
  FilterRulesHandler& handler = handler_;
  const Logger log(LogSubsystem::daemon, "filter-rules");
  BusService service{
      .busName = std::string(RulesService::busName),
      .objectPath = std::string(RulesService::objectPath),
      .interface = std::string(RulesService::interface),
      .methods = {},
      .signalNames = {std::string(RulesService::rulesChanged)},
      .requirement = std::string(CodeSigningRequirement::forFilter),
      .owner = owner_,
      .log = log,
      .acceptedLine = "accepted the filter",
  };
  service.methods = {
      {std::string(RulesService::currentRules), false, true,
       [&handler](const BusCaller&, std::string_view) { return Reply(handler.currentRules()); }},
      {std::string(RulesService::report), true, false,
       [&handler](const BusCaller&, std::string_view payload) {
         handler.report(payload);
         return Reply(std::string());
       }},
  };
  auto served = bus.serve(std::move(service));
  if (!served) return served;
  log.notice(cat("listening on ", RulesService::busName));
  return {};
}

}  // namespace hushwall
