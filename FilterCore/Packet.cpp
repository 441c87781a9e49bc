#include "FilterCore/Packet.hpp"

#include <arpa/inet.h>

#include <algorithm>

#include "FilterCore/ByteReader.hpp"

namespace hushwall::filter {

namespace {

constexpr std::uint8_t hopByHop = 0, routing = 43, fragment = 44, destinationOptions = 60, authentication = 51;

std::uint64_t fnv1a(std::span<const std::uint8_t> bytes, std::uint64_t hash = 0xcbf29ce484222325ull) {
  for (auto byte : bytes) hash = (hash ^ byte) * 0x100000001b3ull;
  return hash;
}

struct Network {
  FlowKey key;
  std::uint8_t protocol = 0;
  std::span<const std::uint8_t> transport;
};

std::expected<Network, PacketError> parseIpv4(std::span<const std::uint8_t> packet) {
  ByteReader r(packet);
  std::uint8_t versionAndLength = r.u8();
  r.skip(1);
  std::uint16_t totalLength = r.u16();
  r.skip(2);
  std::uint16_t fragmentField = r.u16();
  r.skip(1);
  std::uint8_t protocol = r.u8();
  r.skip(2);
  auto source = r.take(4);
  auto destination = r.take(4);
  if (!r.ok()) return std::unexpected(PacketError::truncated);
  std::size_t headerLength = (std::size_t{versionAndLength} & 0x0F) * 4;
  if (headerLength < 20 || totalLength < headerLength) return std::unexpected(PacketError::badHeader);
  if (totalLength > packet.size()) return std::unexpected(PacketError::truncated);
  if ((fragmentField & 0x1FFF) != 0) return std::unexpected(PacketError::notFirstFragment);
  Network network;
  network.key.source = IpAddress::v4(source.first<4>());
  network.key.destination = IpAddress::v4(destination.first<4>());
  network.protocol = protocol;
  network.transport = packet.subspan(headerLength, totalLength - headerLength);
  return network;
}

std::expected<Network, PacketError> parseIpv6(std::span<const std::uint8_t> packet) {
  ByteReader r(packet);
  r.skip(4);
  std::uint16_t payloadLength = r.u16();
  std::uint8_t next = r.u8();
  r.skip(1);
  auto source = r.take(16);
  auto destination = r.take(16);
  if (!r.ok()) return std::unexpected(PacketError::truncated);
  // A jumbogram (length 0) never reaches a queue on an ordinary link.
  if (payloadLength == 0) return std::unexpected(PacketError::badHeader);
  ByteReader body = r.sub(payloadLength);
  if (!body.ok()) return std::unexpected(PacketError::truncated);
  while (next == hopByHop || next == routing || next == destinationOptions || next == fragment ||
         next == authentication) {
    std::uint8_t following = body.u8();
    std::uint8_t length = body.u8();
    if (next == fragment) {
      std::uint16_t offset = body.u16();
      body.skip(4);
      if ((offset & 0xFFF8) != 0) return std::unexpected(PacketError::notFirstFragment);
    } else {
      std::size_t total = next == authentication ? (std::size_t{length} + 2) * 4 : (std::size_t{length} + 1) * 8;
      body.skip(total - 2);
    }
    if (!body.ok()) return std::unexpected(PacketError::truncated);
    next = following;
  }
  Network network;
  network.key.source = IpAddress::v6(source.first<16>());
  network.key.destination = IpAddress::v6(destination.first<16>());
  network.protocol = next;
  network.transport = body.rest();
  return network;
}

}  // namespace

IpAddress IpAddress::v4(std::span<const std::uint8_t, 4> octets) {
  IpAddress address;
  address.bytes[10] = 0xFF;
  address.bytes[11] = 0xFF;
  std::ranges::copy(octets, address.bytes.begin() + 12);
  return address;
}

IpAddress IpAddress::v6(std::span<const std::uint8_t, 16> octets) {
  IpAddress address;
  std::ranges::copy(octets, address.bytes.begin());
  return address;
}

bool IpAddress::isV4() const {
  constexpr std::array<std::uint8_t, 12> mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::equal(mapped.begin(), mapped.end(), bytes.begin());
}

std::string IpAddress::toString() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (isV4()) {
    inet_ntop(AF_INET, bytes.data() + 12, text, sizeof text);
  } else {
    inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
  }
  return text;
}

FlowKey FlowKey::reversed() const { return FlowKey{transport, destination, source, destinationPort, sourcePort}; }

// FNV-1a: cheap, and the addresses and ports of real flows vary enough for it.
std::size_t IpAddressHash::operator()(const IpAddress& address) const noexcept {
  return static_cast<std::size_t>(fnv1a(address.bytes));
}

std::size_t FlowKeyHash::operator()(const FlowKey& key) const noexcept {
  const std::uint8_t rest[5] = {
      static_cast<std::uint8_t>(key.transport), static_cast<std::uint8_t>(key.sourcePort >> 8),
      static_cast<std::uint8_t>(key.sourcePort), static_cast<std::uint8_t>(key.destinationPort >> 8),
      static_cast<std::uint8_t>(key.destinationPort)};
  return static_cast<std::size_t>(fnv1a(rest, fnv1a(key.destination.bytes, fnv1a(key.source.bytes))));
}

std::expected<PacketView, PacketError> parsePacket(std::span<const std::uint8_t> ipPacket) {
  if (ipPacket.empty()) return std::unexpected(PacketError::truncated);
  std::expected<Network, PacketError> network = std::unexpected(PacketError::badHeader);
  switch (ipPacket[0] >> 4) {
    case 4:
      network = parseIpv4(ipPacket);
      break;
    case 6:
      network = parseIpv6(ipPacket);
      break;
    default:
      return std::unexpected(PacketError::badHeader);
  }
  if (!network) return std::unexpected(network.error());

  PacketView view;
  view.key = network->key;
  ByteReader r(network->transport);
  view.key.sourcePort = r.u16();
  view.key.destinationPort = r.u16();
  if (network->protocol == static_cast<std::uint8_t>(Transport::tcp)) {
    view.key.transport = Transport::tcp;
    view.tcpSequence = r.u32();
    view.tcpAcknowledgement = r.u32();
    std::uint8_t dataOffset = r.u8();
    view.tcpFlags = r.u8();
    if (!r.ok()) return std::unexpected(PacketError::truncated);
    std::size_t headerLength = std::size_t{dataOffset} >> 4 << 2;
    if (headerLength < 20) return std::unexpected(PacketError::badHeader);
    if (headerLength > network->transport.size()) return std::unexpected(PacketError::truncated);
    view.payload = network->transport.subspan(headerLength);
  } else if (network->protocol == static_cast<std::uint8_t>(Transport::udp)) {
    view.key.transport = Transport::udp;
    std::uint16_t length = r.u16();
    if (!r.ok()) return std::unexpected(PacketError::truncated);
    if (length < 8) return std::unexpected(PacketError::badHeader);
    if (length > network->transport.size()) return std::unexpected(PacketError::truncated);
    view.payload = network->transport.subspan(8, length - 8u);
  } else {
    return std::unexpected(PacketError::unsupportedTransport);
  }
  return view;
}

}  // namespace hushwall::filter
