// The logging facade: `Logger(subsystem, category)` with four levels. Lines go
// to one process-wide sink; the default writes one line per message to standard
// error, the daemon installs the journal sink, and tests swap in a sink that
// keeps the lines. Thread-safe: any thread may log while another swaps the sink.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace hushwall {

// Syslog priorities; `notice` is the "default" level of the design.
enum class LogLevel : int { fault = 2, error = 3, notice = 5, debug = 7 };

[[nodiscard]] std::string_view levelName(LogLevel level);

struct LogRecord {
  LogLevel level = LogLevel::notice;
  std::string subsystem;
  std::string category;
  std::string message;

  friend bool operator==(const LogRecord&, const LogRecord&) = default;
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Called from any thread; implementations must be thread-safe.
  virtual void write(const LogRecord& record) = 0;
};

// The one standard-error form of a record, "LEVEL subsystem[category] message",
// written whole in one call so that lines from different threads never mix.
void writeToStandardError(const LogRecord& record);

// Replaces the process-wide sink; nullptr restores the standard-error sink.
// Returns the sink that was installed before.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);

class Logger {
 public:
  Logger(std::string_view subsystem, std::string_view category) : subsystem_(subsystem), category_(category) {}

  void log(LogLevel level, std::string_view message) const;
  void debug(std::string_view message) const { log(LogLevel::debug, message); }
  void notice(std::string_view message) const { log(LogLevel::notice, message); }
  void error(std::string_view message) const { log(LogLevel::error, message); }
  void fault(std::string_view message) const { log(LogLevel::fault, message); }

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace hushwall
