#include "Platform/JournalLogSink.hpp"

#include <sys/stat.h>
#include <sys/uio.h>

#include <memory>

#define SD_JOURNAL_SUPPRESS_LOCATION  // the sink's own file and line would mislead
#include <systemd/sd-journal.h>

#include "HushwallCore/Strings.hpp"

namespace hushwall {

std::vector<std::string> JournalLogSink::fields(const LogRecord& record) {
  return {
      cat("MESSAGE=", record.message),
      cat("PRIORITY=", static_cast<int>(record.level)),
      "SYSLOG_IDENTIFIER=hushwalld",
      cat("HUSHWALL_SUBSYSTEM=", record.subsystem),
      cat("HUSHWALL_CATEGORY=", record.category),
  };
}

void JournalLogSink::write(const LogRecord& record) {
  auto entries = fields(record);
  std::vector<iovec> vector;
  for (auto& entry : entries) vector.push_back({entry.data(), entry.size()});
  // The journal client reports success when no journal listens, so look first.
  if (journalAvailable() && sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) >= 0) return;
  writeToStandardError(record);
}

bool journalAvailable(std::string_view socketPath) {
  struct stat status {};
  return ::stat(std::string(socketPath).c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

void installJournalSink() { setLogSink(std::make_shared<JournalLogSink>()); }

}  // namespace hushwall
