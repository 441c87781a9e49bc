// Helpers for tests of the filter channel's records: reports of an exact
// encoded size (the largest a daemon accepts, and one byte more), and readable
// GoogleTest output for the records.
#pragma once

#include <cstddef>
#include <iosfwd>

#include "HushwallCore/FilterReport.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/FilterStatus.hpp"

namespace hushwall {
namespace testing {

// A report whose `encoded()` is exactly `bytes` long: a fixed report whose
// `detail` is padded with ASCII letters, one encoded byte each. Throws
// std::invalid_argument below the size of the report with an empty detail
// (about 150 bytes).
[[nodiscard]] FilterReport filterReportOfEncodedSize(std::size_t bytes);

}  // namespace testing

// Failure messages show the records as their JSON.
void PrintTo(const FilterRuleSet& rules, std::ostream* out);
void PrintTo(const FilterReport& report, std::ostream* out);
void PrintTo(const FilterStatus& status, std::ostream* out);

}  // namespace hushwall
