// A bounded wait for the platform tests, on a state that no callback reports.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

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

}  // namespace hushwall::testing
