// Readable GoogleTest output for the filter channel's records: failure
// messages show them as their JSON.
#pragma once

#include <ostream>

#include "HushwallCore/FilterReport.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/FilterStatus.hpp"

namespace hushwall {

inline void PrintTo(const FilterRuleSet& rules, std::ostream* out) { *out << rules.encoded(); }
inline void PrintTo(const FilterReport& report, std::ostream* out) { *out << report.encoded(); }
inline void PrintTo(const FilterStatus& status, std::ostream* out) { *out << status.encoded(); }

}  // namespace hushwall
