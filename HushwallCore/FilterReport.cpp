#include "HushwallCore/FilterReport.hpp"

#include <utility>

#include "HushwallCore/Json.hpp"

namespace hushwall {
namespace {

using Outcome = FilterReport::Outcome;
constexpr CaseName<Outcome> outcomeNames[] = {
    {Outcome::applied, "applied"}, {Outcome::applyFailed, "applyFailed"}, {Outcome::keptPrevious, "keptPrevious"}};

}  // namespace

std::string_view caseName(FilterReport::Outcome outcome) { return nameIn(outcomeNames, outcome); }

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
  report.outcome = readCase(required(value, "outcome"), "outcome", outcomeNames);
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
