// Opens the Initial packets a QUIC client sends first, in QUIC versions 1 and
// 2: derives the client's Initial keys from the connection ID, removes header
// protection, decrypts, and returns the CRYPTO frames inside. Pure apart from
// OpenSSL's libcrypto; every function is safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

namespace hushwall::filter {

namespace QuicVersion {
inline constexpr std::uint32_t v1 = 0x00000001;
inline constexpr std::uint32_t v2 = 0x6b3343cf;
}  // namespace QuicVersion

enum class QuicError {
  notLongHeader,   // a short-header packet, or not QUIC at all
  unknownVersion,  // a version other than 1 and 2, or version negotiation
  notInitial,      // a long-header packet of another type
  truncated,       // shorter than its header says
  badHeader,       // a connection ID longer than 20 bytes, a length that cannot be
  decryptFailed,   // the authentication tag did not verify
  badFrames,       // a frame an Initial may not carry, or one that runs past the packet
  cryptoLibrary,   // libcrypto failed
};

// The fields of a long header that are readable without keys.
struct QuicLongHeader {
  std::uint32_t version = 0;
  bool isInitial = false;
  std::span<const std::uint8_t> destinationId;  // views the datagram
};

// Reads the unprotected part of the first packet's long header.
[[nodiscard]] std::expected<QuicLongHeader, QuicError> peekLongHeader(std::span<const std::uint8_t> datagram);

// The client's Initial secrets for one version and destination connection ID.
// A client keeps using the keys of its first destination ID for every Initial
// until the handshake moves on, so a flow derives them once.
struct QuicInitialKeys {
  std::uint32_t version = 0;
  std::array<std::uint8_t, 16> key{};
  std::array<std::uint8_t, 12> iv{};
  std::array<std::uint8_t, 16> headerKey{};

  [[nodiscard]] static std::expected<QuicInitialKeys, QuicError> derive(std::uint32_t version,
                                                                        std::span<const std::uint8_t> destinationId);
};

struct CryptoFragment {
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> bytes;
  friend bool operator==(const CryptoFragment&, const CryptoFragment&) = default;
};

// Decrypts every Initial packet coalesced in `datagram` with `keys` and returns
// their CRYPTO frames in the order found. Long-header packets of other types
// after the first (0-RTT) are skipped; a short-header packet ends the walk.
// Fails, with nothing returned, when the first packet is not an Initial of
// `keys.version` or any Initial fails to open.
[[nodiscard]] std::expected<std::vector<CryptoFragment>, QuicError> openClientInitials(
    std::span<const std::uint8_t> datagram, const QuicInitialKeys& keys);

}  // namespace hushwall::filter
