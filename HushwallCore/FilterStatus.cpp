#include "HushwallCore/FilterStatus.hpp"

#include "HushwallCore/Json.hpp"

namespace hushwall {

Json FilterStatus::toJson() const {
  return Json{{"report", report.toJson()}, {"secondsSinceReport", secondsSinceReport}};
}

FilterStatus FilterStatus::fromJson(const Json& value) {
  requireObject(value, "filter");
  return FilterStatus{FilterReport::fromJson(required(value, "report")),
                      readNumber(required(value, "secondsSinceReport"), "secondsSinceReport")};
}

std::string FilterStatus::encoded() const { return dumpJson(toJson()); }

Decoded<FilterStatus> FilterStatus::decode(std::string_view bytes) {
  return decodeJson<FilterStatus>(bytes, &FilterStatus::fromJson);
}

}  // namespace hushwall
