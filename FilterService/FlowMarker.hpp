// Ends the flows a socket of this machine cannot name when a block starts:
// forwarded ones (a router's or a container host's), which have no local
// socket, and local ones where SOCK_DESTROY could not act. Dumps this network
// namespace's conntrack table through ctnetlink and writes `verdict` into the
// filter's bits of the mark of each TCP or UDP entry whose original direction
// the caller names blocked; the table then refuses the next packet its client
// sends (a TCP reset, or ICMP port unreachable for UDP). Any other entry
// carrying a verdict of `verdict`'s generation has its verdict cleared, to be
// judged again: the table was just made, so that verdict is from an earlier
// rule set whose generation number came round again, or from an earlier
// filter process.
//
// Thread-safety: a plain function; `isBlocked` runs on the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>

#include "FilterCore/Packet.hpp"

namespace hushwall::filter {

// `verdict` holds bits of marks::field only; the mark's other bits are kept.
// `isBlocked` gets each flow as its client sent it. Returns how many entries
// were marked blocked; entries already carrying `verdict` are not counted.
[[nodiscard]] std::expected<std::size_t, std::string> markFlows(std::uint32_t verdict,
                                                                const std::function<bool(const FlowKey&)>& isBlocked);

}  // namespace hushwall::filter
