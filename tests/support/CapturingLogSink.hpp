// Installs a log sink that keeps every line for the lifetime of the object and
// restores the previous sink afterwards. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Log.hpp"

namespace hushwall::testing {

class CapturingLogSink {
 public:
  CapturingLogSink();
  ~CapturingLogSink();
  CapturingLogSink(const CapturingLogSink&) = delete;
  CapturingLogSink& operator=(const CapturingLogSink&) = delete;

  [[nodiscard]] std::vector<LogRecord> records() const;
  // Messages only, optionally those of one category.
  [[nodiscard]] std::vector<std::string> messages(std::string_view category = {}) const;
  [[nodiscard]] std::size_t count(std::string_view message) const;
  void clear();

 private:
  struct Store;
  std::shared_ptr<Store> store_;
  std::shared_ptr<LogSink> previous_;
};

}  // namespace hushwall::testing
