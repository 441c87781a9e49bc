// The filter's work between the rules channel and the kernel. It judges every
// queued packet with the flow engine on the queue's reader thread (a hop to
// another thread per packet costs more than the judging), and it applies each
// rule set: the engine's rules, the nftables table present exactly while
// something is blocked, and the connections already open to newly blocked
// names ended: local sockets destroyed, and every flow's conntrack entry,
// forwarded ones included, marked for the table to reset.
//
// Thread-safety: `apply`, `responsive` and destruction may be called from any
// thread; applies must not overlap (the rules follower serialises them).
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FilterCore/FlowEngine.hpp"
#include "FilterService/FilterTable.hpp"
#include "FilterService/PacketQueue.hpp"
#include "Platform/FilterFollower.hpp"

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
  // The packet reader, which judges too, went round its loop within `within`.
  [[nodiscard]] bool responsive(std::chrono::milliseconds within) const;

 private:
  Enforcer() = default;
  void judge(PacketQueue::Packet packet);
  [[nodiscard]] std::string counters() const;

  mutable std::mutex engineMutex_;
  FlowEngine engine_;                // GUARDED_BY(engineMutex_)
  std::uint64_t socketsClosed_ = 0;  // GUARDED_BY(engineMutex_)
  std::uint64_t flowsMarked_ = 0;    // GUARDED_BY(engineMutex_): conntrack entries set to reset
  // Packets the engine holds until their flow is decided: the reader thread's only.
  std::map<FlowKey, std::vector<PacketQueue::Packet>> held_;
  std::chrono::milliseconds deadline_{0};
  int rawV4_ = -1;  // for answers put in place of refused packets
  int rawV6_ = -1;
  std::unique_ptr<FilterTable> table_;  // used only by apply and destruction
  std::unique_ptr<PacketQueue> queue_;
};

}  // namespace hushwall::filter
