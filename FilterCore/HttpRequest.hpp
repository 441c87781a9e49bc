// Reads the host a plain-HTTP/1.x request is for: the authority of an
// absolute-form target, else the Host header field, without its port.
#pragma once

#include <cstdint>
#include <span>

#include "FilterCore/NameScan.hpp"

namespace hushwall::filter {

// `stream` is what the client sent on a TCP connection, from its first byte.
// Invalid when it does not start with a request line; needMore until the
// header section ends (an empty line).
[[nodiscard]] NameScan scanHttpRequest(std::span<const std::uint8_t> stream);

}  // namespace hushwall::filter
