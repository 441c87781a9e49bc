#include "Platform/ProcessStamp.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>

#include "HushwallCore/Strings.hpp"

namespace hushwall {

std::optional<std::uint64_t> startTimeField(std::string_view stat) {
  std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  // After the command name come field 3 (state) onwards; the start time is field 22.
  for (int field = 3; field <= 22; ++field) {
    std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(begin);
    std::size_t end = std::min(rest.find(' '), rest.size());
    if (field == 22) {
      std::uint64_t value = 0;
      auto [at, error] = std::from_chars(rest.data(), rest.data() + end, value);
      if (error != std::errc() || at != rest.data() + end) return std::nullopt;
      return value;
    }
    rest.remove_prefix(end);
  }
  return std::nullopt;
}

std::optional<ProcessStamp> readProcessStamp(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::string directory = cat("/proc/", static_cast<int>(pid));
  struct stat file {};
  if (stat(cat(directory, "/exe").c_str(), &file) != 0) return std::nullopt;
  int fd = open(cat(directory, "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // One read returns the line from its start; the start time lies well inside the first 1 KiB.
  char buffer[1024];
  ssize_t got;
  do {
    got = read(fd, buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0) return std::nullopt;
  auto startTime = startTimeField(std::string_view(buffer, static_cast<std::size_t>(got)));
  if (!startTime) return std::nullopt;
  return ProcessStamp{*startTime,          file.st_dev,          file.st_ino,         file.st_size,
                      file.st_mtim.tv_sec, file.st_mtim.tv_nsec, file.st_ctim.tv_sec, file.st_ctim.tv_nsec};
}

}  // namespace hushwall
