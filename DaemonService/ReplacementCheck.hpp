// What is at the daemon's own executable path, and whether this running
// process still meets the requirement its clients pin. Each distinct
// replacement file is examined, and its verdict logged, once.
//
// Thread-safety: none; the daemon calls it only from the ticker's queue.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include "DaemonCore/ExitPolicy.hpp"
#include "HushwallCore/Log.hpp"
#include "Platform/CodeRequirement.hpp"

namespace hushwall {

class ReplacementCheck {
 public:
  // A file as the file system reports it; a replaced file differs in one of these.
  struct FileIdentity {
    std::int32_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
  };

  // `launched` is the identity of the file the process was started from
  // (absent when unknown: every file then counts as the same).
  ReplacementCheck(std::string path, std::string requirement, CodeRequirement::Owner owner,
                   std::optional<FileIdentity> launched);

  // The status of `path`, following symbolic links; absent when stat fails.
  [[nodiscard]] static std::optional<FileIdentity> identity(const std::string& path);

  [[nodiscard]] HandoverPolicy::Replacement replacement();
  [[nodiscard]] bool stillServable();
  // The self-check: only a definite failure counts as not meeting.
  [[nodiscard]] bool meetsRequirement(const std::string& requirement) const;

 private:
  const std::string path_;
  const std::string requirement_;
  const CodeRequirement::Owner owner_;
  const std::optional<FileIdentity> launched_;
  const Logger log_;

  std::map<FileIdentity, bool> verdicts_;
  std::set<FileIdentity> unservable_;
  std::set<FileIdentity> saidServable_;
};

}  // namespace hushwall
