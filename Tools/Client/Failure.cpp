#include "Tools/Client/Failure.hpp"

#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

// Errors that mean nobody answered, as opposed to an answer that says no.
bool meansUnreachable(std::string_view name) {
  static constexpr std::string_view unreachable[] = {
      "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
      "org.freedesktop.DBus.Error.NoReply",        "org.freedesktop.DBus.Error.Timeout",
      "org.freedesktop.DBus.Error.TimedOut",       "org.freedesktop.DBus.Error.Disconnected",
      "org.freedesktop.DBus.Error.NoServer",       "org.freedesktop.DBus.Error.FileNotFound",
      "org.freedesktop.DBus.Error.UnknownObject",  "org.freedesktop.DBus.Error.UnknownMethod",
  };
  for (std::string_view candidate : unreachable) {
    if (name == candidate) return true;
  }
  return name.starts_with("System.Error.");
}

}  // namespace

Failure Failure::badReply(std::string_view what) {
  return {ExitCode::badReply, cat("the daemon's reply could not be read: ", what)};
}

Failure Failure::fromBus(const BusError& error) {
  if (auto daemon = error.daemonError()) return {ExitCode::refused, hushwall::message(*daemon)};
  if (error.name == accessDeniedError) {
    return {ExitCode::refused, cat("the daemon refused this program: ", error.message)};
  }
  if (error.name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      error.name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
    return {ExitCode::unavailable, "the daemon is not running: " + error.message};
  }
  if (meansUnreachable(error.name)) return {ExitCode::unavailable, cat("cannot reach the daemon: ", error.message)};
  return {ExitCode::refused, cat(error.name, ": ", error.message)};
}

std::string_view exitStatusHelp() {
  return "Exit status:\n"
         "  0  success\n"
         "  1  the daemon refused the request (its message is shown)\n"
         "  2  bad arguments or unreadable input; nothing was sent\n"
         "  3  the daemon or the system bus could not be reached\n"
         "  4  the daemon's reply could not be read\n";
}

}  // namespace hushwall
