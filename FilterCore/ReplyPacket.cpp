#include "FilterCore/ReplyPacket.hpp"

#include <algorithm>

namespace hushwall::filter {

namespace {

constexpr std::uint8_t replyHopLimit = 64;

void put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  out[at] = static_cast<std::uint8_t>(value >> 8);
  out[at + 1] = static_cast<std::uint8_t>(value);
}

void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  put16(out, at, value >> 16);
  put16(out, at + 2, value & 0xFFFF);
}

std::uint32_t sum(std::span<const std::uint8_t> bytes, std::uint32_t total = 0) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) total += std::uint32_t{bytes[i]} << 8 | bytes[i + 1];
  if (bytes.size() % 2 != 0) total += std::uint32_t{bytes.back()} << 8;
  return total;
}

std::uint16_t fold(std::uint32_t total) {
  while (total >> 16 != 0) total = (total & 0xFFFF) + (total >> 16);
  return static_cast<std::uint16_t>(~total);
}

}  // namespace

std::vector<std::uint8_t> replyPacket(const PacketView& to, std::span<const std::uint8_t> payload,
                                      std::uint8_t tcpFlags) {
  const bool tcp = to.key.transport == Transport::tcp;
  const bool v4 = to.key.source.isV4();
  const std::size_t ipLength = v4 ? 20 : 40;
  const std::size_t transportLength = (tcp ? 20 : 8) + payload.size();
  std::vector<std::uint8_t> packet(ipLength + transportLength);
  // From the packet's destination back to its source.
  const IpAddress& from = to.key.destination;
  const IpAddress& back = to.key.source;

  if (v4) {
    packet[0] = 0x45;
    put16(packet, 2, static_cast<std::uint32_t>(packet.size()));
    packet[6] = 0x40;  // don't fragment
    packet[8] = replyHopLimit;
    packet[9] = static_cast<std::uint8_t>(to.key.transport);
    std::ranges::copy(from.v4Octets(), packet.begin() + 12);
    std::ranges::copy(back.v4Octets(), packet.begin() + 16);
    put16(packet, 10, fold(sum(std::span(packet).first(20))));
  } else {
    packet[0] = 0x60;
    put16(packet, 4, static_cast<std::uint32_t>(transportLength));
    packet[6] = static_cast<std::uint8_t>(to.key.transport);
    packet[7] = replyHopLimit;
    std::ranges::copy(from.bytes, packet.begin() + 8);
    std::ranges::copy(back.bytes, packet.begin() + 24);
  }

  const std::size_t t = ipLength;
  put16(packet, t, to.key.destinationPort);
  put16(packet, t + 2, to.key.sourcePort);
  if (tcp) {
    put32(packet, t + 4, to.tcpAcknowledgement);
    put32(packet, t + 8,
          to.tcpSequence + static_cast<std::uint32_t>(to.payload.size()) +
              ((to.tcpFlags & (TcpFlag::syn | TcpFlag::fin)) != 0 ? 1u : 0u));
    packet[t + 12] = 5 << 4;
    packet[t + 13] = tcpFlags;
    put16(packet, t + 14, 0xFFFF);  // window
  } else {
    put16(packet, t + 4, static_cast<std::uint32_t>(transportLength));
  }
  std::ranges::copy(payload, packet.begin() + static_cast<std::ptrdiff_t>(t + (tcp ? 20 : 8)));

  // The transport checksum covers a pseudo-header of both addresses, the protocol and the length.
  std::uint32_t pseudo = v4 ? sum(from.v4Octets()) + sum(back.v4Octets()) : sum(from.bytes) + sum(back.bytes);
  pseudo += static_cast<std::uint32_t>(to.key.transport) + static_cast<std::uint32_t>(transportLength);
  std::uint16_t checksum = fold(sum(std::span(packet).subspan(t), pseudo));
  // In UDP a zero checksum means "none", so zero is sent as all ones.
  if (!tcp && checksum == 0) checksum = 0xFFFF;
  put16(packet, t + (tcp ? 16 : 6), checksum);
  return packet;
}

}  // namespace hushwall::filter
