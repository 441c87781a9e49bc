// Atomic replacement of one of the daemon's own root-only files. A reader, or
// the daemon after a crash, finds the complete old contents or the complete new
// contents, never a mix: the bytes go to a hidden temporary file in the same
// directory, which is synced, given mode 0600 (owner root:root when running as
// root) and renamed over the target; then the directory is synced. The
// directory is created 0700 on first use.
//
// Not protected against: a crash between creating and renaming the temporary
// file leaves it behind (it never shadows the target; nothing removes it).
// Holds no lock; callers serialise writes to one target. Copyable; each `write`
// is independent.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "HushwallCore/Error.hpp"

namespace hushwall {

class RootOwnedFile {
 public:
  // Every file-system primitive the writer and the stores use. A test replaces
  // one field to fail that step; `live()` is the real system.
  struct Syscalls {
    // An empty 0600 regular file, replacing one of that name.
    // Fails with RootFileError::cannotOpenTemporaryFile(path).
    std::function<Result<void>(const std::string& path)> createTemp;
    // Opens the existing file, writes all bytes, fsyncs, closes.
    std::function<Result<void>(const std::string& path, std::string_view bytes)> writeAndSync;
    // Mode 0600 and, only when the effective user is root, owner 0 and group 0.
    std::function<Result<void>(const std::string& path)> setOwnerAndMode;
    // rename(2); fails with RootFileError::renameFailed(errno).
    std::function<Result<void>(const std::string& from, const std::string& to)> rename;
    // fsync of the directory; does nothing when it cannot be opened.
    std::function<void(const std::string& directory)> syncDirectory;
    // Best-effort clean-up of a temporary file.
    std::function<void(const std::string& path)> removeTemp;
    std::function<Result<void>(const std::string& path)> removeFile;
    // Replaces whatever is at `to`.
    std::function<Result<void>(const std::string& from, const std::string& to)> moveFile;

    // The shared, immutable table of real primitives.
    [[nodiscard]] static const Syscalls& live();
  };

  // REQUIRES: `path` is absolute.
  explicit RootOwnedFile(std::string path, Syscalls syscalls = Syscalls::live());

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] const Syscalls& syscalls() const { return syscalls_; }

  // Replaces the file with `data`. On failure the target is exactly as before
  // and the temporary file is gone, except when it could not be created.
  // Fails with the directory's creation error, RootFileError or a SystemError.
  [[nodiscard]] Result<void> write(std::string_view data) const;

 private:
  [[nodiscard]] Result<void> createDirectoryIfNeeded() const;

  std::string path_;
  Syscalls syscalls_;
};

}  // namespace hushwall
