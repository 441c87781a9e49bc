// The queueing step for kernels built without the nftables queue expression:
// a second owned table, `inet hushwall_queue`, made through libnftnl on a
// netlink socket of its own, whose chains hand every packet carrying the
// filter's verdict-wanted mark bit to the xtables NFQUEUE target (bypass when
// no one listens). It vanishes with this object's socket.
//
// Thread-safety: none.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>

#include "FilterService/FilterTable.hpp"

struct mnl_socket;

namespace hushwall::filter {

class CompatQueue {
 public:
  [[nodiscard]] static std::expected<std::unique_ptr<CompatQueue>, TableError> open(std::uint16_t queueNumber,
                                                                                    std::uint32_t markBit);
  ~CompatQueue();
  CompatQueue(const CompatQueue&) = delete;
  CompatQueue& operator=(const CompatQueue&) = delete;

 private:
  explicit CompatQueue(mnl_socket* socket) : socket_(socket) {}
  mnl_socket* socket_;
};

}  // namespace hushwall::filter
