// The file primitives of the daemon's two atomic writers (RootOwnedFile and
// HostsFile) and its stores, as one table of steps, and the one atomic
// replacement both writers run. Every failure keeps its errno and its path.
// Every descriptor is opened close-on-exec, so no child process inherits one.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "HushwallCore/Error.hpp"

namespace hushwall::FileIO {

// The directory that holds `path`: "/" for "/x", "." for a bare name.
[[nodiscard]] std::string parentDirectory(std::string_view path);
// The last path component.
[[nodiscard]] std::string_view lastComponent(std::string_view path);

// Whether anything (file, directory, even a dangling symbolic link) is at `path`.
[[nodiscard]] bool itemExists(const std::string& path);

// The whole file. Fails with the error of the open or read that failed.
[[nodiscard]] Result<std::string> readWholeFile(const std::string& path);

struct Attributes {
  mode_t permissions = 0644;
  std::optional<uid_t> owner;  // left as created when absent
  std::optional<gid_t> group;  // left as created when absent
  friend bool operator==(const Attributes&, const Attributes&) = default;
};

// Every file-system step of the writers and the stores. A test replaces one
// field to fail or record that step; `live()` is the real system.
struct Steps {
  // Permissions, owner and group of the file; none when it cannot be stat'ed.
  std::function<std::optional<Attributes>(const std::string& path)> readAttributes;
  // An empty regular file with exactly `mode`, replacing one of that name,
  // never through a symbolic link. Fails with WriterError::cannotOpenTemporaryFile.
  std::function<Result<void>(const std::string& path, mode_t mode)> createTemp;
  // Opens the existing file, writes all bytes, closes.
  std::function<Result<void>(const std::string& path, std::string_view bytes)> write;
  // fsync of the file's data.
  std::function<Result<void>(const std::string& path)> sync;
  // Owner and group where given, then the permissions.
  std::function<Result<void>(const std::string& path, const Attributes& attributes)> setAttributes;
  // rename(2); fails with WriterError::renameFailed.
  std::function<Result<void>(const std::string& from, const std::string& to)> rename;
  // fsync of the directory; does nothing when it cannot be opened.
  std::function<void(const std::string& directory)> syncDirectory;
  // Best-effort clean-up of a temporary file.
  std::function<void(const std::string& path)> removeTemp;
  // unlink(2); a directory where a file belongs goes as a whole.
  std::function<Result<void>(const std::string& path)> remove;
  // rename(2) that replaces whatever is at `to`, failing with a SystemError.
  std::function<Result<void>(const std::string& from, const std::string& to)> move;
  // mkdir -p; every directory it creates ends exactly `mode`, whatever the umask.
  std::function<Result<void>(const std::string& path, mode_t mode)> makeDirectory;

  // The shared, immutable table of real primitives.
  [[nodiscard]] static const Steps& live();
};

// Replaces `target` with `bytes`: temporary files an earlier crash left for
// this target are removed, a hidden temporary file in the same directory is
// created (exactly `createMode`), written, given `attributes`, synced,
// renamed over the target, and the directory is synced, in that order. A
// reader, or the daemon after a crash or power cut, finds the complete old or
// the complete new bytes, each with its own attributes. On failure the target
// is as before and the temporary file is gone, except when it could not be
// created. REQUIRES: no other writer replaces `target` at the same time.
[[nodiscard]] Result<void> replaceAtomically(const Steps& steps, const std::string& target, std::string_view bytes,
                                             mode_t createMode, const Attributes& attributes);

// Removes the temporary files that replacements of `target` cut short left
// behind. replaceAtomically does it before each write; the daemon's launch does
// it too, so that none outlives a crash that no write of its target follows.
// REQUIRES: no replacement of `target` is under way.
void removeLeftoverTemporaries(const Steps& steps, const std::string& target);

// Removes `path` and syncs its directory; removing an absent file succeeds.
[[nodiscard]] Result<void> removeDurably(const Steps& steps, const std::string& path);

}  // namespace hushwall::FileIO
