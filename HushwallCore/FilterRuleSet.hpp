// What the daemon tells the network filter to block, built from the engine's
// state and sent whenever the filter asks. The filter reads it through
// `isSupported` and `ruleHosts`; `FlowRules` gives the domains their meaning.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Decoded.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

struct FilterRuleSet {
  static constexpr std::int64_t currentSchemaVersion = 1;

  enum class State {
    idle,      // no session: the filter drops its host rules
    blocking,  // a session runs: block `domains`
    unknown,   // no session and the engine is stuck: the filter keeps what it has
  };

  std::int64_t schemaVersion = currentSchemaVersion;
  State state = State::idle;
  std::optional<Uuid> sessionID;  // present only when blocking
  std::vector<std::string> domains;

  FilterRuleSet(std::int64_t schemaVersion, State state, std::optional<Uuid> sessionID,
                std::vector<std::string> domains);
  // The rule set for the engine's state: blocking the session's domains as
  // stored when a session is present (even while stuck); otherwise idle, or
  // unknown when stuck, with no identifier and no domains.
  FilterRuleSet(const std::optional<SessionState>& session, bool isStuck);

  // Only version 1 is understood; other versions decode but are not applied.
  [[nodiscard]] bool isSupported() const { return schemaVersion == currentSchemaVersion; }
  // The domains normalised (HostName::normalize), without those that normalise
  // to nothing or fail HostName::isRuleHost, without repeats, in order of first
  // appearance.
  [[nodiscard]] std::vector<std::string> ruleHosts() const;

  // "sessionID" is written only when present. Decoding does not check the
  // schema version; an unknown "state" word fails the whole record.
  [[nodiscard]] nlohmann::json toJson() const;
  [[nodiscard]] static FilterRuleSet fromJson(const nlohmann::json& value);
  [[nodiscard]] std::string encoded() const;
  [[nodiscard]] static Decoded<FilterRuleSet> decode(std::string_view bytes);

  friend bool operator==(const FilterRuleSet&, const FilterRuleSet&) = default;
};

// The JSON value and log text of a state: "idle", "blocking" or "unknown".
[[nodiscard]] std::string_view caseName(FilterRuleSet::State state);

}  // namespace hushwall
