// Test code run as an unprivileged user while the suite runs as root: in a
// forked child, which reports back through a pipe.
#pragma once

#include <functional>
#include <string>

namespace hushwall::testing {

// "nobody", the user and group `asUnprivilegedUser` switches to.
inline constexpr unsigned unprivilegedID = 65534;

// Runs `body` with effective user and group `unprivilegedID` (in a child when
// the suite runs as root, directly otherwise); returns its result, empty
// meaning success, plus a note if a signal killed the child.
[[nodiscard]] std::string asUnprivilegedUser(const std::function<std::string()>& body);

}  // namespace hushwall::testing
