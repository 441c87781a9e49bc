#include "DaemonService/FilterRulesHandler.hpp"

#include <cstdint>
#include <utility>

#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {

FilterRulesHandler::FilterRulesHandler(SessionCoordinator& coordinator, std::function<Date()> now)
    : coordinator_(coordinator), now_(std::move(now)), log_(LogSubsystem::daemon, "filter-rules") {}

std::string FilterRulesHandler::currentRules() const {
  FilterRuleSet rules = coordinator_.filterRules();
  log_.notice(
      cat("filter asked: ", caseName(rules.state), ", ", static_cast<std::int64_t>(rules.domains.size()), " domains"));
  return rules.encoded();
}

void FilterRulesHandler::report(std::string_view payload) {
  auto refuse = [&] {
    log_.error(
        cat("filter report refused: ", static_cast<std::int64_t>(payload.size()), " bytes, oversized or undecodable"));
  };
  // Checked before decoding, so an oversized report costs no parsing.
  if (payload.size() > FilterReport::maxEncodedSize) return refuse();
  auto decoded = FilterReport::decode(payload);
  if (!decoded) return refuse();
  Date arrived = now_();
  {
    std::lock_guard lock(lastReportMutex_);
    lastReport_ = Received{*decoded, arrived};
  }
  log_.notice(cat("filter reported: ", caseName(decoded->outcome), ", ", decoded->ruleCount, " rules, filter ",
                  decoded->filterVersion, ", ", decoded->detail.value_or("-")));
}

std::optional<FilterStatus> FilterRulesHandler::status() const {
  std::optional<Received> last;
  {
    std::lock_guard lock(lastReportMutex_);
    last = lastReport_;
  }
  if (!last) return std::nullopt;
  return FilterStatus{last->report, now_() - last->at};
}

}  // namespace hushwall
