// A network namespace of the calling process's own, holding only loopback, for
// the filter's tests and benchmark: the filter's table and queue then see
// nothing but their traffic.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace hushwall::filter {

// Moves the calling thread, and the threads it starts later, into a new network
// namespace with loopback up. REQUIRES: root, and no other thread that should
// follow. False when either step fails.
[[nodiscard]] bool enterLoopbackNamespace();

// 127.0.0.1:`port`.
[[nodiscard]] sockaddr_in loopback(std::uint16_t port);

}  // namespace hushwall::filter
