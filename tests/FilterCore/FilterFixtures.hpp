// Captured packets and the small builders the filter tests share.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "FilterCore/Packet.hpp"
#include "FilterCore/ReplyPacket.hpp"

namespace hushwall::filter::testing {

using Bytes = std::vector<std::uint8_t>;

// A file of tests/FilterCore/fixtures: ClientHellos captured from Chromium,
// curl and openssl s_client on loopback, Chromium's QUIC Initials, and the
// client Initials of the QUIC v1 and v2 RFCs' sample packet appendices.
inline Bytes fixture(std::string_view name) {
  std::ifstream in(std::string(HUSHWALL_FILTER_FIXTURES) + "/" + std::string(name), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return out;
}

inline Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// `bytes` with the byte at `at` set to `value`.
inline Bytes with(Bytes bytes, std::size_t at, std::uint8_t value) {
  bytes[at] = value;
  return bytes;
}

inline IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return IpAddress::v4(std::array{a, b, c, d});
}

// 2001:db8::`last`
inline IpAddress v6(std::uint8_t last) {
  return IpAddress::v6(std::array<std::uint8_t, 16>{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last});
}

// The packet `key`'s source sends: built as the reply to a packet the other way.
inline Bytes packetFrom(const FlowKey& key, const Bytes& payload, std::uint8_t tcpFlags = TcpFlag::ack,
                        std::uint32_t sequence = 1000) {
  PacketView other;
  other.key = key.reversed();
  other.tcpAcknowledgement = sequence;
  return replyPacket(other, payload, tcpFlags);
}

// A DNS query for one name, with the RD bit set.
inline Bytes dnsQuery(std::string_view name, std::uint16_t type) {
  Bytes out = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  for (std::size_t start = 0; start <= name.size();) {
    auto dot = std::min(name.find('.', start), name.size());
    out.push_back(static_cast<std::uint8_t>(dot - start));
    out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
               name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  out.insert(out.end(), {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
  return out;
}

}  // namespace hushwall::filter::testing
