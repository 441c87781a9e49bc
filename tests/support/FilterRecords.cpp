#include "support/FilterRecords.hpp"

#include <ostream>
#include <stdexcept>
#include <string>

namespace hushwall {
namespace testing {

FilterReport filterReportOfEncodedSize(std::size_t bytes) {
  FilterReport report{FilterReport::currentSchemaVersion,
                      FilterReport::Outcome::applied,
                      Uuid::parse("6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8"),
                      42,
                      "1.4.0 (57)",
                      std::string()};
  std::size_t bare = report.encoded().size();
  if (bytes < bare)
    throw std::invalid_argument("a filter report encodes to at least " + std::to_string(bare) + " bytes");
  report.detail->assign(bytes - bare, 'x');
  return report;
}

}  // namespace testing

void PrintTo(const FilterRuleSet& rules, std::ostream* out) { *out << rules.encoded(); }
void PrintTo(const FilterReport& report, std::ostream* out) { *out << report.encoded(); }
void PrintTo(const FilterStatus& status, std::ostream* out) { *out << status.encoded(); }

}  // namespace hushwall
