// The daemon's process: its start-up, its process-wide objects and the two
// ways it ends itself. Every object is built on first use (thread-safe) and
// never destroyed, so `exit(0)` from the ticker's thread runs no destructor
// under another thread's feet.
#pragma once

#include "Platform/CodeRequirement.hpp"

namespace hushwall::HushwallDaemonMain {

// Where the daemon's lines go: the systemd journal for the machine's daemon,
// standard error for the sandbox daemon, whose runs the tests read back.
enum class LogTarget { journal, standardError };

// The whole process: logs the start, reconciles what a previous process left,
// starts the ticker, the two file watchers, the app service and the filter
// service, then runs the main loop. Never returns. `owner` is who must own the
// executables the daemon trusts: root, or the daemon's own user in the sandbox
// build. `target` is chosen by the executable, never by what the environment
// happens to offer. Called once, from `main`, on the main thread.
[[noreturn]] void run(CodeRequirement::Owner owner, LogTarget target);

// The ticker's hooks: each returns when the process stays and ends it with
// status 0 when it goes.
void retireIfIdle();
void retireIfReplaced();

}  // namespace hushwall::HushwallDaemonMain
