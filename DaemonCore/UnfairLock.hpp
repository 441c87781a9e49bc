// A small non-re-entrant mutex. Taking it again on the thread that holds it
// would deadlock; it aborts with a message instead, so the mistake shows at
// once. Satisfies Lockable: use it with std::lock_guard or std::unique_lock.
// `isHeldByCurrentThread` lets `...Locked` functions check their contract.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace hushwall {

class UnfairLock {
 public:
  UnfairLock() = default;
  UnfairLock(const UnfairLock&) = delete;
  UnfairLock& operator=(const UnfairLock&) = delete;

  void lock();
  [[nodiscard]] bool try_lock();
  void unlock();

  [[nodiscard]] bool isHeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  std::mutex mutex_;
  // The holder, or no thread; only the holder writes it, so a relaxed read by
  // a thread asking about itself is exact.
  std::atomic<std::thread::id> owner_{};
};

}  // namespace hushwall
