#include "DaemonCore/RootOwnedFile.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace hushwall {
namespace {

constexpr mode_t fileMode = 0600;
constexpr mode_t directoryMode = 0700;

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
  std::string existing = FileIO::parentDirectory(directory);
  while (existing != "/" && existing != "." && !FileIO::itemExists(existing))
    existing = FileIO::parentDirectory(existing);
  if (auto made = steps_.makeDirectory(directory, directoryMode); !made) return made;
  if (::geteuid() == 0) (void)::chown(directory.c_str(), 0, 0);
  // A new directory's entry lives in its parent: without these syncs a power
  // cut could take the directory, and the file about to be written, with it.
  for (std::string made = directory; made != existing; made = FileIO::parentDirectory(made)) {
    steps_.syncDirectory(FileIO::parentDirectory(made));
  }
  return {};
}

}  // namespace hushwall
