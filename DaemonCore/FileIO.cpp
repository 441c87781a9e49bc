#include "DaemonCore/FileIO.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

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

Result<void> createEmptyFile(const std::string& path, mode_t mode, bool exactMode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return failure("open", path);
  if (exactMode && ::fchmod(fd, mode) != 0) {
    auto error = failure("fchmod", path);
    closeKeepingErrno(fd);
    ::unlink(path.c_str());
    return error;
  }
  if (::close(fd) != 0) {
    auto error = failure("close", path);
    ::unlink(path.c_str());  // created but reported as not: leave nothing behind
    return error;
  }
  return {};
}

Result<void> writeAndSync(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return failure("open", path);
  const char* next = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      auto error = failure("write", path);
      closeKeepingErrno(fd);
      return error;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  if (::fsync(fd) != 0) {
    auto error = failure("fsync", path);
    closeKeepingErrno(fd);
    return error;
  }
  if (::close(fd) != 0) return failure("close", path);
  return {};
}

int renameGivingErrno(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
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

void removeIgnoringErrors(const std::string& path) { (void)::unlink(path.c_str()); }

void syncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace hushwall::FileIO
