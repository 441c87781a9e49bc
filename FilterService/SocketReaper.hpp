// Ends this network namespace's own connections to blocked names when a block
// starts: dumps TCP sockets of live connections and connected UDP sockets, IPv4
// and IPv6, through NETLINK_SOCK_DIAG, and destroys (SOCK_DESTROY) each one
// the caller names blocked. A destroyed TCP socket sends a reset and its
// program sees ECONNABORTED; a UDP one sees the same on its next call.
//
// Thread-safety: a plain function; `isBlocked` runs on the caller's thread.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <string>

#include "FilterCore/Packet.hpp"

namespace hushwall::filter {

struct ReapResult {
  std::size_t destroyed = 0;
  std::size_t refused = 0;  // the kernel would not destroy (no SOCK_DESTROY support, or gone meanwhile)
};

// `isBlocked` gets each socket's flow as its program sends: local to remote.
[[nodiscard]] std::expected<ReapResult, std::string> reapSockets(const std::function<bool(const FlowKey&)>& isBlocked);

}  // namespace hushwall::filter
