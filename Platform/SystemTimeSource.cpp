#include "Platform/SystemTimeSource.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace hushwall {
namespace {

bool readClock(clockid_t clock, double& seconds) {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) return false;
  seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  return true;
}

}  // namespace

Date SystemTimeSource::wallClock() const { return Date::now(); }

Date SystemTimeSource::bootTime() const {
  double sinceBoot = 0;
  if (!readClock(CLOCK_BOOTTIME, sinceBoot)) return Date::distantPast();
  return Date::now() - sinceBoot;
}

std::string SystemTimeSource::bootID() const {
  int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char buffer[64];
  ssize_t got;
  do {
    got = ::read(fd, buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  ::close(fd);
  if (got <= 0) return "";
  std::string id(buffer, static_cast<std::size_t>(got));
  while (!id.empty() && (id.back() == '\n' || id.back() == '\0')) id.pop_back();
  return id;
}

double SystemTimeSource::continuous() const {
  double seconds = 0;
  readClock(CLOCK_BOOTTIME, seconds);
  return seconds;
}

}  // namespace hushwall
