// Test code in a forked child: to act as an unprivileged user while the suite
// runs as root, or to let a simulated crash (`_exit`) end the process part-way
// through an operation. The child reports back through a pipe.
#pragma once

#include <functional>
#include <string>

namespace hushwall::testing {

// "nobody", the user and group `asUnprivilegedUser` switches to.
inline constexpr unsigned unprivilegedID = 65534;

// Runs `body` in a child and returns what it passed to `reportFromChild`
// before it ended, plus a note if a signal killed it.
[[nodiscard]] std::string inChildProcess(const std::function<void()>& body);
void reportFromChild(const std::string& text);

// Runs `body` with effective user and group `unprivilegedID` (in a child when
// the suite runs as root, directly otherwise); returns its result, empty
// meaning success.
[[nodiscard]] std::string asUnprivilegedUser(const std::function<std::string()>& body);

}  // namespace hushwall::testing
