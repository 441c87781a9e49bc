// What the network filter reports back after it has applied, failed to apply
// or declined a rule set. The daemon keeps the last one for the health check
// and only logs its contents; it checks neither the version nor the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "HushwallCore/Decoded.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

struct FilterReport {
  static constexpr std::int64_t currentSchemaVersion = 1;
  // The largest encoded report, in bytes, that the daemon accepts. The
  // receiving service enforces it, before decoding; `decode` does not.
  static constexpr std::size_t maxEncodedSize = 4096;

  enum class Outcome { applied, applyFailed, keptPrevious };

  std::int64_t schemaVersion = currentSchemaVersion;
  Outcome outcome = Outcome::applied;
  std::optional<Uuid> sessionID;  // the session the report refers to
  std::int64_t ruleCount = 0;
  std::string filterVersion;
  std::optional<std::string> detail;  // free text from the filter

  // "sessionID" and "detail" are written only when present and read as absent
  // when missing or null; an unknown "outcome" word fails the whole record.
  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static FilterReport fromJson(const nlohmann::json& value);
  [[nodiscard]] std::string encoded() const;
  [[nodiscard]] static Decoded<FilterReport> decode(std::string_view bytes);

  friend bool operator==(const FilterReport&, const FilterReport&) = default;
};

// The JSON value and log text of an outcome: "applied", "applyFailed" or "keptPrevious".
[[nodiscard]] std::string_view caseName(FilterReport::Outcome outcome);

}  // namespace hushwall
