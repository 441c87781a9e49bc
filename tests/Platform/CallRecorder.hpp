// Records when a callback ran, and lets a test wait for the n-th call without
// sleeping longer than needed. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace hushwall::testing {

class CallRecorder {
 public:
  using Clock = std::chrono::steady_clock;

  void record() {
    std::lock_guard lock(mutex_);
    calls_.push_back(Clock::now());
    changed_.notify_all();
  }
  [[nodiscard]] std::function<void()> callback() {
    return [this] { record(); };
  }

  // True once `count` calls happened; false if `timeout` passed first.
  [[nodiscard]] bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
  }
  [[nodiscard]] std::size_t count() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }
  [[nodiscard]] std::vector<Clock::time_point> times() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> calls_;  // guarded by mutex_
};

}  // namespace hushwall::testing
