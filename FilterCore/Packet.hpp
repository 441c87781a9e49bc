// The view of one IP packet that the filter judges: its flow's 5-tuple, the TCP
// fields reassembly needs, and its transport payload. Pure functions on plain
// values, safe from any thread.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace hushwall::filter {

// An IPv4 or IPv6 address. IPv4 is held in its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d), so that one key type serves both families.
struct IpAddress {
  std::array<std::uint8_t, 16> bytes{};

  [[nodiscard]] static IpAddress v4(std::span<const std::uint8_t, 4> octets);
  [[nodiscard]] static IpAddress v6(std::span<const std::uint8_t, 16> octets);
  [[nodiscard]] bool isV4() const;
  // The four octets of an IPv4 address; meaningless unless isV4().
  [[nodiscard]] std::span<const std::uint8_t, 4> v4Octets() const { return std::span(bytes).subspan<12, 4>(); }
  // Dotted quad for IPv4, RFC 5952 text for IPv6.
  [[nodiscard]] std::string toString() const;

  friend auto operator<=>(const IpAddress&, const IpAddress&) = default;
};

struct IpAddressHash {
  [[nodiscard]] std::size_t operator()(const IpAddress& address) const noexcept;
};

enum class Transport : std::uint8_t { tcp = 6, udp = 17 };

// A flow as the packet travels: source is the sender of this packet.
struct FlowKey {
  Transport transport = Transport::tcp;
  IpAddress source;
  IpAddress destination;
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;

  // The same flow seen from the other end.
  [[nodiscard]] FlowKey reversed() const;
  friend auto operator<=>(const FlowKey&, const FlowKey&) = default;
};

struct FlowKeyHash {
  [[nodiscard]] std::size_t operator()(const FlowKey& key) const noexcept;
};

namespace TcpFlag {
inline constexpr std::uint8_t fin = 0x01;
inline constexpr std::uint8_t syn = 0x02;
inline constexpr std::uint8_t rst = 0x04;
inline constexpr std::uint8_t psh = 0x08;
inline constexpr std::uint8_t ack = 0x10;
}  // namespace TcpFlag

// Views into the caller's buffer: valid only while that buffer is.
struct PacketView {
  FlowKey key;
  std::uint8_t tcpFlags = 0;  // TcpFlag bits; 0 for UDP
  std::uint32_t tcpSequence = 0;
  std::uint32_t tcpAcknowledgement = 0;
  std::span<const std::uint8_t> payload;
};

enum class PacketError {
  truncated,             // shorter than its headers say
  badHeader,             // a version, header length or total length that cannot be
  notFirstFragment,      // a fragment without the transport header
  unsupportedTransport,  // neither TCP nor UDP
};

// Parses an IPv4 or IPv6 packet carrying TCP or UDP, skipping IPv6 extension
// headers. The payload ends where the IP total length says, ignoring trailing
// link-layer padding. Never reads outside `ipPacket`.
[[nodiscard]] std::expected<PacketView, PacketError> parsePacket(std::span<const std::uint8_t> ipPacket);

}  // namespace hushwall::filter
