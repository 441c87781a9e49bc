// Runs test code in a forked child: to act as an unprivileged user while the
// suite runs as root, or to let a "crash" end the process part-way through an
// operation. The child reports back one line of text through a pipe.
#pragma once

#include <functional>
#include <string>

namespace hushwall::testing {

// The user and group that `asUnprivilegedUser` switches to ("nobody").
inline constexpr unsigned unprivilegedID = 65534;

// Runs `body` with effective user and group `unprivilegedID`, in a child when
// the suite runs as root and directly otherwise. Returns what `body` returned
// (empty meaning success), or why the child failed.
[[nodiscard]] std::string asUnprivilegedUser(const std::function<std::string()>& body);

// Runs `body` in a child and waits. The child may end early with `_exit`; the
// result is whatever it wrote with `reportFromChild` before it ended.
[[nodiscard]] std::string inChildProcess(const std::function<void()>& body);
void reportFromChild(const std::string& text);

}  // namespace hushwall::testing
