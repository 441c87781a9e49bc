#include "DaemonCore/RootOwnedFile.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "DaemonCore/FileIO.hpp"
#include "HushwallCore/Strings.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {
namespace {

constexpr mode_t fileMode = 0600;
constexpr mode_t directoryMode = 0700;

Result<void> setRootOwnerAndMode(const std::string& path) {
  // Owner first: a chown may clear mode bits, the chmod then sets them exactly.
  if (::geteuid() == 0 && ::chown(path.c_str(), 0, 0) != 0) {
    return std::unexpected(SystemError::fromErrno(errno, "chown", path));
  }
  if (::chmod(path.c_str(), fileMode) != 0) return std::unexpected(SystemError::fromErrno(errno, "chmod", path));
  return {};
}

// mkdir -p; every directory it creates ends exactly 0700, whatever the umask.
Result<void> makeDirectories(const std::string& path) {
  if (::mkdir(path.c_str(), directoryMode) != 0) {
    int error = errno;
    if (error == EEXIST) return {};
    std::string parent = FileIO::parentDirectory(path);
    if (error != ENOENT || parent == path) return std::unexpected(SystemError::fromErrno(error, "mkdir", path));
    if (auto made = makeDirectories(parent); !made) return made;
    if (::mkdir(path.c_str(), directoryMode) != 0) return std::unexpected(SystemError::fromErrno(errno, "mkdir", path));
  }
  (void)::chmod(path.c_str(), directoryMode);
  return {};
}

}  // namespace

const RootOwnedFile::Syscalls& RootOwnedFile::Syscalls::live() {
  static const Syscalls table{
      .createTemp =
          [](const std::string& path) -> Result<void> {
            if (FileIO::createEmptyFile(path, fileMode, true)) return {};
            return std::unexpected(RootFileError::cannotOpenTemporaryFile(path));
          },
      .writeAndSync = FileIO::writeAndSync,
      .setOwnerAndMode = setRootOwnerAndMode,
      .rename = [](const std::string& from, const std::string& to) -> Result<void> {
        if (int errnum = FileIO::renameGivingErrno(from, to)) {
          return std::unexpected(RootFileError::renameFailed(errnum));
        }
        return {};
      },
      .syncDirectory = FileIO::syncDirectory,
      .removeTemp = FileIO::removeIgnoringErrors,
      .removeFile = FileIO::removeItem,
      .moveFile = [](const std::string& from, const std::string& to) -> Result<void> {
        if (int errnum = FileIO::renameGivingErrno(from, to)) {
          return std::unexpected(SystemError::fromErrno(errnum, "rename", cat(from, " to ", to)));
        }
        return {};
      },
  };
  return table;
}

RootOwnedFile::RootOwnedFile(std::string path, Syscalls syscalls)
    : path_(std::move(path)), syscalls_(std::move(syscalls)) {}

Result<void> RootOwnedFile::write(std::string_view data) const {
  if (auto ready = createDirectoryIfNeeded(); !ready) return ready;

  std::string directory = FileIO::parentDirectory(path_);
  std::string temp = cat(directory, "/.", FileIO::lastComponent(path_), "-", Uuid::random().string(), ".tmp");
  if (auto created = syscalls_.createTemp(temp); !created) return created;

  auto abandon = [&](Result<void> failed) {
    syscalls_.removeTemp(temp);
    return failed;
  };
  if (auto written = syscalls_.writeAndSync(temp, data); !written) return abandon(written);
  if (auto owned = syscalls_.setOwnerAndMode(temp); !owned) return abandon(owned);
  if (auto renamed = syscalls_.rename(temp, path_); !renamed) return abandon(renamed);
  // Makes the rename itself durable; the write has succeeded either way.
  syscalls_.syncDirectory(directory);
  return {};
}

Result<void> RootOwnedFile::createDirectoryIfNeeded() const {
  std::string directory = FileIO::parentDirectory(path_);
  if (FileIO::itemExists(directory)) return {};
  if (auto made = makeDirectories(directory); !made) return made;
  if (::geteuid() == 0) (void)::chown(directory.c_str(), 0, 0);
  return {};
}

}  // namespace hushwall
