#include "DaemonCore/HostsFile.hpp"

#include <unistd.h>

#include <cstdlib>

#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

constexpr mode_t defaultPermissions = 0644;

std::optional<std::string> realPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::string resolve(std::string_view path) {
  std::string given(path);
  if (auto real = realPath(given)) return *real;
  if (auto directory = realPath(FileIO::parentDirectory(given))) {
    return cat(*directory == "/" ? "" : *directory, "/", FileIO::lastComponent(given));
  }
  return given;
}

}  // namespace

HostsFile::HostsFile(std::string_view path, FileIO::Steps steps) : path_(resolve(path)), steps_(std::move(steps)) {}

Result<std::string> HostsFile::readData() const { return FileIO::readWholeFile(path_); }

Result<void> HostsFile::writeData(std::string_view bytes) const {
  std::optional<FileIO::Attributes> current = steps_.readAttributes(path_);
  FileIO::Attributes wanted{current ? current->permissions : defaultPermissions, std::nullopt, std::nullopt};
  // Only root can give a file away; anyone else keeps the owner it was created with.
  if (::geteuid() == 0) {
    wanted.owner = current ? current->owner.value_or(0) : 0;
    wanted.group = current ? current->group.value_or(0) : 0;
  }
  // Private until the rename: the wanted permissions are set just before it.
  return FileIO::replaceAtomically(steps_, path_, bytes, 0600, wanted);
}

}  // namespace hushwall
