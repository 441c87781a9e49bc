// Installs a log sink that keeps every line for the lifetime of the object and
// restores the previous sink afterwards. Thread-safe.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Log.hpp"

namespace hushwall::testing {

class CapturingLogSink {
 public:
  CapturingLogSink() { previous_ = setLogSink(store_); }
  ~CapturingLogSink() { setLogSink(previous_); }
  CapturingLogSink(const CapturingLogSink&) = delete;
  CapturingLogSink& operator=(const CapturingLogSink&) = delete;

  [[nodiscard]] std::vector<LogRecord> records() const {
    std::lock_guard lock(store_->mutex);
    return store_->records;
  }
  // Messages only, optionally those of one category.
  [[nodiscard]] std::vector<std::string> messages(std::string_view category = {}) const {
    std::vector<std::string> out;
    for (const auto& record : records()) {
      if (category.empty() || record.category == category) out.push_back(record.message);
    }
    return out;
  }
  [[nodiscard]] std::size_t count(std::string_view message) const {
    auto all = messages();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
  }

 private:
  struct Store final : LogSink {
    std::mutex mutex;
    std::vector<LogRecord> records;  // guarded by mutex

    void write(const LogRecord& record) override {
      std::lock_guard lock(mutex);
      records.push_back(record);
    }
  };
  std::shared_ptr<Store> store_ = std::make_shared<Store>();
  std::shared_ptr<LogSink> previous_;
};

}  // namespace hushwall::testing
