// The system hosts file as a file: read whole, replaced through
// FileIO::replaceAtomically, keeping its permissions and (when running as
// root) its owner and group. A missing hosts file is created 0644, owned by
// root when running as root. A concurrent reader sees the old or the new file,
// never a mix; a failed write leaves the old file in place, complete, with its
// old mode and owner.
//
// Holds no lock; callers serialise read-modify-write cycles. Copyable.
#pragma once

#include <string>
#include <string_view>

#include "DaemonCore/FileIO.hpp"
#include "HushwallCore/Error.hpp"

namespace hushwall {

class HostsFile {
 public:
  // Resolves symbolic links in `path` (a missing file is resolved through its
  // directory), so that a write replaces the real file, not the link.
  explicit HostsFile(std::string_view path, FileIO::Steps steps = FileIO::Steps::live());

  [[nodiscard]] const std::string& path() const { return path_; }

  // The whole file; fails with the platform error, e.g. when it is missing.
  [[nodiscard]] Result<std::string> readData() const;
  // Replaces the file with `bytes`. Fails with WriterError or a SystemError;
  // on failure the file is as it was and no temporary file is left, except
  // when it could not be created.
  [[nodiscard]] Result<void> writeData(std::string_view bytes) const;

 private:
  std::string path_;
  FileIO::Steps steps_;
};

}  // namespace hushwall
