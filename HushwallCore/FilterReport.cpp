#include "HushwallCore/FilterReport.hpp"

#include <array>
#include <utility>

#include "HushwallCore/Json.hpp"

namespace hushwall {
namespace {

constexpr std::array<std::string_view, 3> outcomeNames{"applied", "applyFailed", "keptPrevious"};

}  // namespace

std::string_view caseName(FilterReport::Outcome outcome) { return outcomeNames.at(std::to_underlying(outcome)); }

Json FilterReport::toJson() const {
  Json out{{"schemaVersion", schemaVersion},
           {"outcome", std::string(caseName(outcome))},
           {"ruleCount", ruleCount},
           {"filterVersion", filterVersion}};
  if (sessionID) out["sessionID"] = writeUuid(*sessionID);
  if (detail) out["detail"] = *detail;
  return out;
}

FilterReport FilterReport::fromJson(const Json& value) {
  requireObject(value, "report");
  FilterReport report;
  report.schemaVersion = readInt64(required(value, "schemaVersion"), "schemaVersion");
  report.outcome = static_cast<Outcome>(readCaseIndex(required(value, "outcome"), "outcome", outcomeNames));
  report.sessionID = readOptional<Uuid>(value, "sessionID", readUuid);
  report.ruleCount = readInt64(required(value, "ruleCount"), "ruleCount");
  report.filterVersion = readString(required(value, "filterVersion"), "filterVersion");
  report.detail = readOptional<std::string>(value, "detail", readString);
  return report;
}

std::string FilterReport::encoded() const { return dumpJson(toJson()); }

Decoded<FilterReport> FilterReport::decode(std::string_view bytes) {
  return decodeJson<FilterReport>(bytes, &FilterReport::fromJson);
}

}  // namespace hushwall
