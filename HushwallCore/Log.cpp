#include "HushwallCore/Log.hpp"

#include <cstdio>
#include <mutex>

#include "HushwallCore/CaseNames.hpp"

namespace hushwall {
namespace {

class StandardErrorSink final : public LogSink {
 public:
  void write(const LogRecord& record) override { writeToStandardError(record); }
};

std::mutex sinkMutex;
std::shared_ptr<LogSink> currentSink;  // guarded by sinkMutex; null means standard error

std::shared_ptr<LogSink> activeSink() {
  std::lock_guard lock(sinkMutex);
  if (!currentSink) currentSink = std::make_shared<StandardErrorSink>();
  return currentSink;
}

}  // namespace

std::string_view levelName(LogLevel level) {
  static constexpr CaseName<LogLevel> names[] = {{LogLevel::fault, "fault"},
                                                 {LogLevel::error, "error"},
                                                 {LogLevel::notice, "default"},
                                                 {LogLevel::debug, "debug"}};
  return nameIn(names, level);
}

void writeToStandardError(const LogRecord& record) {
  std::fprintf(stderr, "%s %s[%s] %s\n", levelName(record.level).data(), record.subsystem.c_str(),
               record.category.c_str(), record.message.c_str());
}

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard lock(sinkMutex);
  auto previous = std::move(currentSink);
  currentSink = std::move(sink);
  return previous;
}

void Logger::log(LogLevel level, std::string_view message) const {
  activeSink()->write(LogRecord{level, subsystem_, category_, std::string(message)});
}

}  // namespace hushwall
