// The hosts file as a byte transform: renders the managed block for a session,
// cuts managed regions out and places a fresh block first in the file. No input or
// output; every input, empty or binary, has a result. Stateless, thread-safe.
//
// Removal leaves no complete region behind: where stray or nested markers
// would form a new region once an inner one is cut, that one goes too. This is
// what makes `applying` idempotent on any input, which callers rely on when
// they compare `applying(...)` with the file to see whether the block is intact.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/HostsRegions.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall::HostsDocument {

inline constexpr std::string_view beginMarker = HostsRegions::beginMarker;
inline constexpr std::string_view endMarker = HostsRegions::endMarker;
inline constexpr std::string_view managedComment = "# Managed by Hushwall. Edits inside this block are overwritten.";

// `document` with every managed region cut out; everything else byte for byte.
[[nodiscard]] std::string removingManagedRegion(std::string_view document);

// One block, then `document` without managed regions, byte for byte. A block
// found anywhere but at the start therefore differs from the result.
// REQUIRES: the domains are validated (no line breaks), as the block controller
// and the coordinator pass them.
[[nodiscard]] std::string applying(const std::vector<std::string>& domains, const Uuid& sessionID,
                                   std::string_view document);

// The block: begin line with the session id, the managed comment, for each
// domain in order "127.0.0.1" and "::1" lines (and their "www." forms unless it
// starts with "www."), each followed by its twin for the name with a trailing
// dot, the end line; every line ends in a line feed.
[[nodiscard]] std::string renderBlock(const std::vector<std::string>& domains, const Uuid& sessionID);

}  // namespace hushwall::HostsDocument
