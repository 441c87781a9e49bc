// Test code run as an unprivileged user while the suite runs as root: in a
// forked child, which reports back through a pipe.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace hushwall::testing {

// "nobody", the user and group `asUnprivilegedUser` switches to.
inline constexpr unsigned unprivilegedID = 65534;

// Runs `body` with effective user and group `unprivilegedID` (in a child when
// the suite runs as root, directly otherwise); returns its result, empty
// meaning success, plus a note if a signal killed the child.
[[nodiscard]] inline std::string asUnprivilegedUser(const std::function<std::string()>& body) {
  if (::geteuid() != 0) return body();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
  pid_t child = ::fork();
  if (child == 0) {
    bool switched = ::setegid(unprivilegedID) == 0 && ::seteuid(unprivilegedID) == 0;
    std::string result = switched ? body() : "could not switch to the unprivileged user";
    (void)!::write(fds[1], result.data(), result.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string report;
  char buffer[512];
  for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) != 0 && (got > 0 || errno == EINTR);) {
    if (got > 0) report.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fds[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) < 0) return "fork or wait failed";
  if (WIFSIGNALED(status)) report += " [killed by signal " + std::to_string(WTERMSIG(status)) + "]";
  return report;
}

}  // namespace hushwall::testing
