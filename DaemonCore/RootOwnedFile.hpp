// Atomic replacement of one of the daemon's own root-only files, through
// FileIO::replaceAtomically: the file ends with mode 0600 and, when running as
// root, owner root:root. The directory is created 0700 on first use, and its
// entry synced. A temporary file a crash left behind never shadows the target;
// the next write removes it. Holds no lock; callers serialise writes to one target. Copyable; each `write`
// is independent.
#pragma once

#include <string>
#include <string_view>

#include "DaemonCore/FileIO.hpp"
#include "HushwallCore/Error.hpp"

namespace hushwall {

class RootOwnedFile {
 public:
  // REQUIRES: `path` is absolute.
  explicit RootOwnedFile(std::string path, FileIO::Steps steps = FileIO::Steps::live());

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] const FileIO::Steps& steps() const { return steps_; }

  // Replaces the file with `data`. On failure the target is exactly as before
  // and the temporary file is gone, except when it could not be created.
  // Fails with the directory's creation error, WriterError or a SystemError.
  [[nodiscard]] Result<void> write(std::string_view data) const;
  // Removes the file and syncs the directory; removing an absent file succeeds.
  [[nodiscard]] Result<void> remove() const;

 private:
  [[nodiscard]] Result<void> createDirectoryIfNeeded() const;

  std::string path_;
  FileIO::Steps steps_;
};

}  // namespace hushwall
