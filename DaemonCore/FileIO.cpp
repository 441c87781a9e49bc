#include "DaemonCore/FileIO.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "HushwallCore/Strings.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall::FileIO {
namespace {

std::unexpected<Error> failure(std::string_view operation, const std::string& path) {
  return std::unexpected<Error>(SystemError::fromErrno(errno, operation, path));
}

int closeKeepingErrno(int fd) {
  int saved = errno;
  int result = ::close(fd);
  errno = saved;
  return result;
}

std::optional<Attributes> statAttributes(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return Attributes{info.st_mode & 07777, info.st_uid, info.st_gid};
}

Result<void> createEmptyFile(const std::string& path, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return std::unexpected(WriterError::cannotOpenTemporaryFile(path, errno));
  // Exactly `mode`: a umask that takes the owner's write bit would make the next step fail.
  int errnum = ::fchmod(fd, mode) == 0 ? 0 : errno;
  if (::close(fd) != 0 && errnum == 0) errnum = errno;
  if (errnum != 0) {
    ::unlink(path.c_str());  // created but reported as not: leave nothing behind
    return std::unexpected(WriterError::cannotOpenTemporaryFile(path, errnum));
  }
  return {};
}

Result<void> writeAll(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return failure("open", path);
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      auto error = failure("write", path);
      closeKeepingErrno(fd);
      return error;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::close(fd) != 0) return failure("close", path);
  return {};
}

Result<void> syncFile(const std::string& path) {
  // fsync flushes the file's data whichever descriptor wrote it.
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return failure("open", path);
  if (::fsync(fd) != 0) {
    auto error = failure("fsync", path);
    closeKeepingErrno(fd);
    return error;
  }
  ::close(fd);
  return {};
}

Result<void> applyAttributes(const std::string& path, const Attributes& attributes) {
  // Owner first: a chown may clear mode bits, the chmod then sets them exactly.
  if ((attributes.owner || attributes.group) && ::chown(path.c_str(), attributes.owner.value_or(static_cast<uid_t>(-1)),
                                                        attributes.group.value_or(static_cast<gid_t>(-1))) != 0) {
    return failure("chown", path);
  }
  if (::chmod(path.c_str(), attributes.permissions) != 0) return failure("chmod", path);
  return {};
}

Result<void> removeItem(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return {};
  if (errno != EISDIR) return failure("unlink", path);
  // A directory where a file belongs goes as a whole, so that the path is free again.
  std::error_code code;
  std::filesystem::remove_all(path, code);
  if (code) return std::unexpected(SystemError::fromErrno(code.value(), "remove", path));
  return {};
}

Result<void> makeDirectories(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0) {
    int error = errno;
    if (error == EEXIST) return {};
    std::string parent = parentDirectory(path);
    if (error != ENOENT || parent == path) return std::unexpected(SystemError::fromErrno(error, "mkdir", path));
    if (auto made = makeDirectories(parent, mode); !made) return made;
    if (::mkdir(path.c_str(), mode) != 0) return std::unexpected(SystemError::fromErrno(errno, "mkdir", path));
  }
  (void)::chmod(path.c_str(), mode);
  return {};
}

bool isTemporaryOf(std::string_view name, std::string_view target) {
  constexpr std::size_t uuidLength = 36;
  return name.size() == target.size() + uuidLength + 6 && name.starts_with('.') && name.substr(1).starts_with(target) &&
         name[target.size() + 1] == '-' && name.ends_with(".tmp");
}

// Only this target's own temporary names: anything else in the directory is not ours.
void removeTemporariesOf(const Steps& steps, const std::string& directory, std::string_view target) {
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(directory, code)) {
    std::string name = entry.path().filename().string();
    if (isTemporaryOf(name, target)) steps.removeTemp(cat(directory, "/", name));
  }
}

void syncDirectoryOf(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string parentDirectory(std::string_view path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string_view lastComponent(std::string_view path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool itemExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

Result<std::string> readWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failure("open", path);
  std::string bytes;
  struct stat info;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) bytes.reserve(static_cast<std::size_t>(info.st_size));
  // Read until end of file rather than trusting st_size: the file may grow, and
  // some files report no size at all.
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      bytes.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      auto error = failure("read", path);
      closeKeepingErrno(fd);
      return error;
    }
  }
  ::close(fd);
  return bytes;
}

const Steps& Steps::live() {
  static const Steps table{
      .readAttributes = statAttributes,
      .createTemp = createEmptyFile,
      .write = writeAll,
      .sync = syncFile,
      .setAttributes = applyAttributes,
      .rename = [](const std::string& from, const std::string& to) -> Result<void> {
        if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(WriterError::renameFailed(to, errno));
        return {};
      },
      .syncDirectory = syncDirectoryOf,
      .removeTemp = [](const std::string& path) { (void)::unlink(path.c_str()); },
      .remove = removeItem,
      .move = [](const std::string& from, const std::string& to) -> Result<void> {
        if (::rename(from.c_str(), to.c_str()) != 0) return failure("rename", cat(from, " to ", to));
        return {};
      },
      .makeDirectory = makeDirectories,
  };
  return table;
}

Result<void> replaceAtomically(const Steps& steps, const std::string& target, std::string_view bytes, mode_t createMode,
                               const Attributes& attributes) {
  std::string directory = parentDirectory(target);
  removeTemporariesOf(steps, directory, lastComponent(target));
  std::string temp = cat(directory, "/.", lastComponent(target), "-", Uuid::random().string(), ".tmp");
  if (auto created = steps.createTemp(temp, createMode); !created) return created;

  auto abandon = [&](Result<void> failed) {
    steps.removeTemp(temp);
    return failed;
  };
  if (auto written = steps.write(temp, bytes); !written) return abandon(written);
  // Attributes before the sync, so that one fsync makes them durable with the bytes.
  if (auto set = steps.setAttributes(temp, attributes); !set) return abandon(set);
  if (auto synced = steps.sync(temp); !synced) return abandon(synced);
  if (auto renamed = steps.rename(temp, target); !renamed) return abandon(renamed);
  // Makes the rename itself durable; the write has succeeded either way.
  steps.syncDirectory(directory);
  return {};
}

void removeLeftoverTemporaries(const Steps& steps, const std::string& target) {
  removeTemporariesOf(steps, parentDirectory(target), lastComponent(target));
}

Result<void> removeDurably(const Steps& steps, const std::string& path) {
  if (auto removed = steps.remove(path); !removed) {
    if (isNoSuchFile(removed.error())) return {};
    return removed;
  }
  steps.syncDirectory(parentDirectory(path));
  return {};
}

}  // namespace hushwall::FileIO
