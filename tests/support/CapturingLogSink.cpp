#include "support/CapturingLogSink.hpp"

#include <algorithm>

namespace hushwall::testing {

struct CapturingLogSink::Store final : LogSink {
  mutable std::mutex mutex;
  std::vector<LogRecord> records;  // guarded by mutex

  void write(const LogRecord& record) override {
    std::lock_guard lock(mutex);
    records.push_back(record);
  }
};

CapturingLogSink::CapturingLogSink() : store_(std::make_shared<Store>()) { previous_ = setLogSink(store_); }

CapturingLogSink::~CapturingLogSink() { setLogSink(previous_); }

std::vector<LogRecord> CapturingLogSink::records() const {
  std::lock_guard lock(store_->mutex);
  return store_->records;
}

std::vector<std::string> CapturingLogSink::messages(std::string_view category) const {
  std::vector<std::string> out;
  for (const auto& record : records()) {
    if (category.empty() || record.category == category) out.push_back(record.message);
  }
  return out;
}

std::size_t CapturingLogSink::count(std::string_view message) const {
  auto all = messages();
  return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
}

void CapturingLogSink::clear() {
  std::lock_guard lock(store_->mutex);
  store_->records.clear();
}

}  // namespace hushwall::testing
