#include "DaemonCore/RootOwnedFile.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace hushwall {
namespace {

constexpr mode_t fileMode = 0600;
constexpr mode_t directoryMode = 0700;

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

RootOwnedFile::RootOwnedFile(std::string path, FileIO::Steps steps)
    : path_(std::move(path)), steps_(std::move(steps)) {}

Result<void> RootOwnedFile::write(std::string_view data) const {
  if (auto ready = createDirectoryIfNeeded(); !ready) return ready;
  FileIO::Attributes rootOnly{fileMode, std::nullopt, std::nullopt};
  if (::geteuid() == 0) rootOnly.owner = 0, rootOnly.group = 0;
  return FileIO::replaceAtomically(steps_, path_, data, fileMode, rootOnly);
}

Result<void> RootOwnedFile::remove() const { return FileIO::removeDurably(steps_, path_); }

Result<void> RootOwnedFile::createDirectoryIfNeeded() const {
  std::string directory = FileIO::parentDirectory(path_);
  if (FileIO::itemExists(directory)) return {};
  if (auto made = makeDirectories(directory); !made) return made;
  if (::geteuid() == 0) (void)::chown(directory.c_str(), 0, 0);
  return {};
}

}  // namespace hushwall
