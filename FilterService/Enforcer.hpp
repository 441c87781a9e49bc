// The filter's work between the rules channel and the kernel. It holds the
// flow engine on a serial queue of its own and judges every queued packet
// there, and it applies each rule set: the engine's rules, the nftables table
// present exactly while something is blocked, and the connections already open
// to newly blocked names ended.
//
// Thread-safety: `apply`, `responsive` and destruction may be called from any
// thread but the engine queue's; applies must not overlap (the rules follower
// serialises them).
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FilterCore/FlowEngine.hpp"
#include "FilterService/FilterTable.hpp"
#include "FilterService/PacketQueue.hpp"
#include "Platform/FilterFollower.hpp"
#include "Platform/SerialQueue.hpp"

namespace hushwall::filter {

class Enforcer {
 public:
  struct Options {
    std::uint16_t queueNumber = 7;
    std::chrono::milliseconds deadline{250};
  };

  // Removes a stale table of ours and binds the queue. Nothing is enforced
  // until the first apply.
  [[nodiscard]] static std::expected<std::unique_ptr<Enforcer>, std::string> start(Options options);
  // Removes the table and unbinds the queue.
  ~Enforcer();
  Enforcer(const Enforcer&) = delete;
  Enforcer& operator=(const Enforcer&) = delete;

  // Puts `hosts` into force; no hosts removes the table. The outcome carries
  // the counters the daemon is told: flows and queries blocked, sockets closed.
  [[nodiscard]] FilterFollower::Applied apply(const std::vector<std::string>& hosts);
  // The engine queue ran a no-op and the packet reader went round within `within`.
  [[nodiscard]] bool responsive(std::chrono::milliseconds within) const;

 private:
  Enforcer() = default;
  void judge(PacketQueue::Packet packet);
  [[nodiscard]] std::string counters() const;

  std::unique_ptr<SerialQueue> engineQueue_;  // declared first: the queue below posts to it
  FlowEngine engine_;                         // used only on engineQueue_
  std::uint64_t socketsClosed_ = 0;           // used only on engineQueue_
  int rawV4_ = -1;                            // for answers put in place of refused packets
  int rawV6_ = -1;
  std::unique_ptr<FilterTable> table_;        // used only by apply and destruction
  std::unique_ptr<PacketQueue> queue_;
};

}  // namespace hushwall::filter
