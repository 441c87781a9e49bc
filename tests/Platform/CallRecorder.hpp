// Bounded waits for the platform tests: a poll for a state no callback reports,
// and a recorder of callback calls that a test waits on for the n-th call.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace hushwall::testing {

// Whether `holds` became true within `timeout`, looked at every millisecond.
[[nodiscard]] inline bool eventually(const std::function<bool()>& holds,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !holds();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Thread-safe.
class CallRecorder {
 public:
  using Clock = std::chrono::steady_clock;

  [[nodiscard]] std::function<void()> callback() {
    return [this] {
      std::lock_guard lock(mutex_);
      calls_.push_back(Clock::now());
    };
  }
  [[nodiscard]] std::vector<Clock::time_point> times() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // True once `count` calls happened; false if `timeout` passed first.
  [[nodiscard]] bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return eventually([&] { return times().size() >= count; }, timeout);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Clock::time_point> calls_;  // guarded by mutex_
};

}  // namespace hushwall::testing
