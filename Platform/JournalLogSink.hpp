// The daemon's log sink: each record goes to the systemd journal with the
// fields MESSAGE, PRIORITY (the level's syslog number), SYSLOG_IDENTIFIER
// (hushwalld), HUSHWALL_SUBSYSTEM and HUSHWALL_CATEGORY. Thread-safe: the
// journal client holds no state between calls.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "HushwallCore/Log.hpp"

namespace hushwall {

inline constexpr std::string_view journalSocketPath = "/run/systemd/journal/socket";

class JournalLogSink final : public LogSink {
 public:
  // Without a journal socket, or when the journal refuses the record, the
  // record is one line on standard error instead, so no line is lost.
  void write(const LogRecord& record) override;

  // The "FIELD=value" entries sent for a record, in order. Values are sent
  // verbatim, newlines and all.
  [[nodiscard]] static std::vector<std::string> fields(const LogRecord& record);
};

// Whether a journal listens at `socketPath`.
[[nodiscard]] bool journalAvailable(std::string_view socketPath = journalSocketPath);

// Makes the journal sink the process-wide sink.
void installJournalSink();

}  // namespace hushwall
