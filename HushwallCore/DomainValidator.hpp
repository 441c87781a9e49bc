// Turns a user's list of domains into the normalised list a block uses:
// lower-cased, checked against the host-name rules, without repeats, in order
// of first appearance. Stops at the first bad entry and never says which.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Error.hpp"

namespace hushwall::DomainValidator {

inline constexpr std::size_t maxDomains = 500;
inline constexpr std::size_t maxLength = 253;
inline constexpr std::size_t maxLabelLength = 63;
inline constexpr std::string_view allowed = "abcdefghijklmnopqrstuvwxyz0123456789.-";

// Fails with invalidDomain (empty list, or a bad entry) or tooManyDomains (more
// than 500 entries, counted before repeats are dropped).
[[nodiscard]] std::expected<std::vector<std::string>, DaemonError> validate(const std::vector<std::string>& domains);

}  // namespace hushwall::DomainValidator
