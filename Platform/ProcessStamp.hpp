// What would change if another process or another program stood behind a pid:
// the process start time (field 22 of /proc/PID/stat, in clock ticks since
// boot, so a reused pid differs) and the identity of the file /proc/PID/exe
// leads to (an exec, or a file changed in place, differs). The change time is
// kept beside the modification time because its owner can set the latter back.
//
// Thread-safety: reentrant.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace hushwall {

struct ProcessStamp {
  std::uint64_t startTime = 0;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t mtimeSeconds = 0;
  std::int64_t mtimeNanoseconds = 0;
  std::int64_t ctimeSeconds = 0;
  std::int64_t ctimeNanoseconds = 0;

  friend bool operator==(const ProcessStamp&, const ProcessStamp&) = default;
};

// One stat of /proc/PID/exe and one read of /proc/PID/stat; nothing when
// either fails (the process is gone, or /proc hides it).
[[nodiscard]] std::optional<ProcessStamp> readProcessStamp(pid_t pid);

// The start time in the text of /proc/PID/stat, whose second field (the
// command name, in parentheses) may itself hold spaces and parentheses.
[[nodiscard]] std::optional<std::uint64_t> startTimeField(std::string_view stat);

}  // namespace hushwall
