// Builds the IP packet that answers a packet in its own flow, for the filter to
// inject in place of a server's reply. Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "FilterCore/Packet.hpp"

namespace hushwall::filter {

// An IPv4 or IPv6 packet (as `to.key` is) from `to`'s destination to its
// source, ports swapped, carrying `payload`, with every checksum filled in.
// For TCP it acknowledges all of `to`'s payload, continues at the sequence
// number `to` acknowledged, and carries `tcpFlags`; for UDP `tcpFlags` is
// ignored.
[[nodiscard]] std::vector<std::uint8_t> replyPacket(const PacketView& to, std::span<const std::uint8_t> payload,
                                                    std::uint8_t tcpFlags);

}  // namespace hushwall::filter
