// Host names as the filter channel compares them: the one normalisation shared
// by the rule set's host list and the flow matcher, and the check a rule host
// must pass. Pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace hushwall::HostName {

// Replaces `out` with `text` trimmed of Unicode white space and line breaks at
// both ends, lower-cased, and stripped of every trailing "."; empty when nothing
// is left. ASCII text (nearly every host) takes no trip through ICU and, when
// `out` already has the capacity, allocates nothing.
void normalize(std::string_view text, std::string& out);

// The normalised name, or nothing when nothing is left.
[[nodiscard]] std::optional<std::string> normalized(std::string_view text);

// For an already normalised name: dot-separated labels, none empty, of
// "a"-"z", "0"-"9" and "-" only (hyphens anywhere, no length limit), and not
// made of digits and dots alone, so a dotted IPv4 address is refused.
[[nodiscard]] bool isRuleHost(std::string_view name);

}  // namespace hushwall::HostName
