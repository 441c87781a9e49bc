// Test code run as an unprivileged user while the suite runs as root: on a
// thread of its own, the only one whose credentials change.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

namespace hushwall::testing {

// "nobody", the user and group `asUnprivilegedUser` switches to.
inline constexpr long unprivilegedID = 65534;

// Runs `body` with effective user and group `unprivilegedID` (on a thread of
// its own when the suite runs as root, directly otherwise); returns its result,
// empty meaning success.
[[nodiscard]] inline std::string asUnprivilegedUser(const std::function<std::string()>& body) {
  if (::geteuid() != 0) return body();
  std::string result;
  std::thread([&] {
    // The raw calls change this thread's credentials alone; glibc's wrappers change every thread's.
    bool switched = ::syscall(SYS_setresgid, -1L, unprivilegedID, -1L) == 0 &&
                    ::syscall(SYS_setresuid, -1L, unprivilegedID, -1L) == 0;
    result = switched ? body() : "could not switch to the unprivileged user";
  }).join();
  return result;
}

}  // namespace hushwall::testing
