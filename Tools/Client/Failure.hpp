// How the clients end: an exit status that says what the caller should do, and
// the one line of text shown for it. Daemon errors are shown by their message,
// bus failures by what they mean for the user, never as internals.
#pragma once

#include <string>

#include "Platform/BusConnection.hpp"

namespace hushwall {

enum class ExitCode : int {
  ok = 0,
  refused = 1,      // the daemon answered with an error: fix the request
  usage = 2,        // bad arguments or unreadable input: nothing was sent
  unavailable = 3,  // the daemon or the bus could not be reached: try again later
  badReply = 4,     // the daemon answered with bytes this client cannot read
};

struct Failure {
  ExitCode code = ExitCode::usage;
  std::string message;

  [[nodiscard]] static Failure usage(std::string message) { return {ExitCode::usage, std::move(message)}; }
  [[nodiscard]] static Failure badReply(std::string_view what);
  // A failed call: a DaemonError by its message, a refusal of this program, or
  // the daemon's absence.
  [[nodiscard]] static Failure fromBus(const BusError& error);

  friend bool operator==(const Failure&, const Failure&) = default;
};

// The exit-status table shown by every --help.
[[nodiscard]] std::string_view exitStatusHelp();

}  // namespace hushwall
