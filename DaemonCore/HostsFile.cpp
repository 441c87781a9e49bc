#include "DaemonCore/HostsFile.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "DaemonCore/FileIO.hpp"
#include "HushwallCore/Strings.hpp"
#include "HushwallCore/Uuid.hpp"

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

std::optional<HostsFile::Attributes> statAttributes(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return HostsFile::Attributes{info.st_mode & 07777, info.st_uid, info.st_gid};
}

Result<void> applyAttributes(const std::string& path, const HostsFile::Attributes& attributes) {
  // Owner first: a chown may clear mode bits, the chmod then sets them exactly.
  if ((attributes.owner || attributes.group) &&
      ::chown(path.c_str(), attributes.owner.value_or(static_cast<uid_t>(-1)),
              attributes.group.value_or(static_cast<gid_t>(-1))) != 0) {
    return std::unexpected(SystemError::fromErrno(errno, "chown", path));
  }
  if (::chmod(path.c_str(), attributes.permissions) != 0) {
    return std::unexpected(SystemError::fromErrno(errno, "chmod", path));
  }
  return {};
}

}  // namespace

const HostsFile::Syscalls& HostsFile::Syscalls::live() {
  static const Syscalls table{
      .readAttributes = statAttributes,
      .createTemp =
          [](const std::string& path) -> Result<void> {
            if (FileIO::createEmptyFile(path, 0666, false)) return {};
            return std::unexpected(HostsFileError::cannotOpenTemporaryFile(path));
          },
      .writeAndSync = FileIO::writeAndSync,
      .setAttributes = applyAttributes,
      .rename = [](const std::string& from, const std::string& to) -> Result<void> {
        if (int errnum = FileIO::renameGivingErrno(from, to)) {
          return std::unexpected(HostsFileError::renameFailed(errnum));
        }
        return {};
      },
      .removeTemp = FileIO::removeIgnoringErrors,
  };
  return table;
}

HostsFile::HostsFile(std::string_view path, Syscalls syscalls) : path_(resolve(path)), syscalls_(std::move(syscalls)) {}

Result<std::string> HostsFile::readData() const { return FileIO::readWholeFile(path_); }

Result<void> HostsFile::writeData(std::string_view bytes) const {
  std::string temp = cat(FileIO::parentDirectory(path_), "/.hushwall-", Uuid::random().string(), ".tmp");
  std::optional<Attributes> current = syscalls_.readAttributes(path_);
  if (auto created = syscalls_.createTemp(temp); !created) return created;

  auto abandon = [&](Result<void> failed) {
    syscalls_.removeTemp(temp);
    return failed;
  };
  if (auto written = syscalls_.writeAndSync(temp, bytes); !written) return abandon(written);

  Attributes wanted{current ? current->permissions : defaultPermissions, std::nullopt, std::nullopt};
  // Only root can give a file away; anyone else keeps the owner it was created with.
  if (::geteuid() == 0) {
    wanted.owner = current ? current->owner.value_or(0) : 0;
    wanted.group = current ? current->group.value_or(0) : 0;
  }
  if (auto set = syscalls_.setAttributes(temp, wanted); !set) return abandon(set);
  if (auto renamed = syscalls_.rename(temp, path_); !renamed) return abandon(renamed);
  return {};
}

}  // namespace hushwall
