// The daemon's view of the network filter: its last report and how long ago it
// arrived. No judgement (fresh, stale, healthy) is attached; clients decide.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

#include "HushwallCore/Decoded.hpp"
#include "HushwallCore/FilterReport.hpp"

namespace hushwall {

struct FilterStatus {
  FilterReport report;
  // Wall-clock seconds from the report's arrival to when the status was built;
  // negative when the clock was set back in between.
  double secondsSinceReport = 0;

  // Both keys are written and required; "report" is a nested report object.
  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static FilterStatus fromJson(const nlohmann::json& value);
  [[nodiscard]] std::string encoded() const;
  [[nodiscard]] static Decoded<FilterStatus> decode(std::string_view bytes);

  friend bool operator==(const FilterStatus&, const FilterStatus&) = default;
};

}  // namespace hushwall
