// Bounded waits for the platform tests: a recorder of callback calls that a
// test waits on for the n-th call, and a poll for states no callback reports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace hushwall::testing {

// Thread-safe.
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
  [[nodiscard]] std::vector<Clock::time_point> times() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  [[nodiscard]] std::size_t count() const { return times().size(); }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> calls_;  // guarded by mutex_
};

// Whether `holds` became true within `timeout`, looked at every millisecond.
[[nodiscard]] inline bool eventually(const std::function<bool()>& holds,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  for (auto deadline = CallRecorder::Clock::now() + timeout; !holds();) {
    if (CallRecorder::Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace hushwall::testing
