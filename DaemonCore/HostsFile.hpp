// The system hosts file as a file: read whole, replaced atomically through a
// hidden temporary file in its directory and a rename, keeping its permissions
// and (when running as root) its owner and group. A missing hosts file is
// created 0644, owned by root when running as root. A concurrent reader sees
// the old or the new file, never a mix; a failed write leaves the old file in
// place, complete, with its old mode and owner.
//
// Not protected against: the directory is not synced, so a power loss right
// after a write may bring back the previous file (which is still whole).
// Holds no lock; callers serialise read-modify-write cycles. Copyable.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "HushwallCore/Error.hpp"

namespace hushwall {

class HostsFile {
 public:
  struct Attributes {
    mode_t permissions = 0644;
    std::optional<uid_t> owner;  // left as created when absent
    std::optional<gid_t> group;  // left as created when absent
    friend bool operator==(const Attributes&, const Attributes&) = default;
  };

  // Every file-system step of `writeData`. A test replaces one field to fail
  // that step; `live()` is the real system.
  struct Syscalls {
    // Permissions, owner and group of the file; none when it cannot be stat'ed.
    std::function<std::optional<Attributes>(const std::string& path)> readAttributes;
    // An empty file with the default permissions (0666 less the umask).
    // Fails with HostsFileError::cannotOpenTemporaryFile(path).
    std::function<Result<void>(const std::string& path)> createTemp;
    // Opens the existing file, writes all bytes, fsyncs, closes.
    std::function<Result<void>(const std::string& path, std::string_view bytes)> writeAndSync;
    // Owner and group where given, then the permissions.
    std::function<Result<void>(const std::string& path, const Attributes& attributes)> setAttributes;
    // rename(2); fails with HostsFileError::renameFailed(errno).
    std::function<Result<void>(const std::string& from, const std::string& to)> rename;
    // Best-effort clean-up of the temporary file.
    std::function<void(const std::string& path)> removeTemp;

    [[nodiscard]] static const Syscalls& live();
  };

  // Resolves symbolic links in `path` (a missing file is resolved through its
  // directory), so that a write replaces the real file, not the link.
  explicit HostsFile(std::string_view path, Syscalls syscalls = Syscalls::live());

  [[nodiscard]] const std::string& path() const { return path_; }

  // The whole file; fails with the platform error, e.g. when it is missing.
  [[nodiscard]] Result<std::string> readData() const;
  // Replaces the file with `bytes`. Fails with HostsFileError or a SystemError;
  // on failure the file is as it was and no temporary file is left, except
  // when it could not be created.
  [[nodiscard]] Result<void> writeData(std::string_view bytes) const;

 private:
  std::string path_;
  Syscalls syscalls_;
};

}  // namespace hushwall
