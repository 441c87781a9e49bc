// The one bounded wait of the tests, on a state that no callback reports.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace hushwall::testing {

// Polls `condition` every `interval` until it holds or `timeout` has passed; returns whether it held.
[[nodiscard]] inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                                    std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !condition();) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

}  // namespace hushwall::testing
