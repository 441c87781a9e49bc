// Reads the server name (SNI) of a TLS ClientHello. Pure and bounds-checked:
// any input gives a typed result, never a read outside it.
#pragma once

#include <cstdint>
#include <span>

#include "FilterCore/NameScan.hpp"

namespace hushwall::filter {

// `stream` is what the client sent on a TCP connection, from its first byte:
// TLS records carrying a ClientHello, which may span several records. Invalid
// when the first record is not a handshake record, or the first message is
// not a ClientHello.
[[nodiscard]] NameScan scanTlsRecords(std::span<const std::uint8_t> stream);

// `handshake` is a stream of bare handshake messages from its first byte, as
// QUIC's CRYPTO frames carry them.
[[nodiscard]] NameScan scanHandshake(std::span<const std::uint8_t> handshake);

}  // namespace hushwall::filter
