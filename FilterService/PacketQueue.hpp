// The kernel's netfilter queue, through libnetfilter_queue and libmnl: a
// reader thread receives each queued packet and hands it on, and every packet
// gets exactly one verdict, from `answer` or, once its deadline has passed
// unanswered (a wedged judge), an accept that leaves its flow undecided.
// The queue is bound fail-open: packets the kernel cannot queue pass.
//
// A stopped process (SIGSTOP, a debugger) answers nothing, so a guard process
// forked at open shares the queue's socket and watches the reader's heartbeat
// in a shared page: once it is half the deadline old and the process is
// stopped, or twice the deadline old whatever the reason, the guard passes every
// packet the reader had taken and every one that arrives, until the reader
// moves again. It dies with this object or with the process.
//
// Thread-safety: `answer`, `stats` and destruction may be called from any
// thread. `deliver` runs on the reader thread, which receives nothing while it
// runs: a deliver that wedges stops the heartbeat, and the guard takes over.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

struct mnl_socket;

namespace hushwall::filter {

struct QueueError {
  std::string message;
};

class PacketQueue {
 public:
  using Clock = std::chrono::steady_clock;

  struct Packet {
    std::uint32_t id = 0;
    std::uint32_t mark = 0;           // the packet mark as queued
    std::vector<std::uint8_t> bytes;  // the IP packet
    Clock::time_point received;
  };
  enum class Verdict {
    accept,        // pass; the flow stays undecided
    allowFlow,     // pass, and the rest of the flow without queueing
    blockFlow,     // refuse it (reset or reject), and the rest of the flow
    refusePacket,  // refuse this packet only
    drop,
  };
  struct Stats {
    std::uint64_t received = 0;
    std::uint64_t answered = 0;
    std::uint64_t expired = 0;  // accepted at the deadline
    std::uint64_t lost = 0;     // receive overruns, answered by a batch accept
  };

  [[nodiscard]] static std::expected<std::unique_ptr<PacketQueue>, QueueError> open(
      std::uint16_t number, std::chrono::milliseconds deadline, std::function<void(Packet)> deliver);
  // Stops the reader and unbinds; packets still queued pass (bypass).
  ~PacketQueue();
  PacketQueue(const PacketQueue&) = delete;
  PacketQueue& operator=(const PacketQueue&) = delete;

  // The packet's verdict; false when its deadline has answered it already.
  bool answer(const Packet& packet, Verdict verdict);
  [[nodiscard]] Stats stats() const;
  // Last time the reader went round its loop: a stalled reader stops it moving.
  [[nodiscard]] Clock::time_point heartbeat() const;

  // What the reader shares with the guard process.
  struct Shared {
    std::atomic<Clock::rep> heartbeat{0};
    std::atomic<std::uint32_t> lastId{0};  // the last packet id the reader took
    std::atomic<bool> tookAny{false};
  };

 private:
  PacketQueue(mnl_socket* socket, std::uint16_t number, std::chrono::milliseconds deadline,
              std::function<void(Packet)> deliver);
  void run();
  void receive(std::vector<char>& buffer);
  void expire(Clock::time_point now);
  void send(std::uint32_t id, int verdict, std::uint32_t mark, bool batch = false);

  mnl_socket* socket_;
  const std::uint16_t number_;
  const std::chrono::milliseconds deadline_;
  std::function<void(Packet)> deliver_;
  void startGuard();

  int stopFd_ = -1;           // an eventfd that ends the reader
  Shared* shared_ = nullptr;  // a shared anonymous page, mapped for the object's life
  pid_t guard_ = -1;

  mutable std::mutex mutex_;
  std::map<std::uint32_t, std::pair<Clock::time_point, std::uint32_t>>
      pending_;            // GUARDED_BY(mutex_): id -> deadline, mark
  Stats stats_;            // GUARDED_BY(mutex_)
  bool lostSome_ = false;  // reader thread only: an overrun since the last packet

  std::thread reader_;
};

}  // namespace hushwall::filter
