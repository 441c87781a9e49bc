// A network namespace of the calling process's own, holding only loopback, for
// the filter's tests and benchmark: the filter's table and queue then see
// nothing but their traffic.
#pragma once

#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace hushwall::filter {

// Moves the calling thread, and the threads it starts later, into a new network
// namespace with loopback up. REQUIRES: root, and no other thread that should
// follow. False when either step fails.
[[nodiscard]] inline bool enterLoopbackNamespace() {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) return false;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{.ifr_ifrn = {"lo"}, .ifr_ifru = {.ifru_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING}};
  bool up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}

// 127.0.0.1:`port`.
[[nodiscard]] inline sockaddr_in loopback(std::uint16_t port) {
  return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
}

}  // namespace hushwall::filter
