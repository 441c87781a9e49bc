// The error model. `DaemonError` is the one error that reaches the app, with
// fixed codes and messages that are part of the wire format. Everything else
// (file-system failures, the writers' own failures) travels as `Error` and is
// mapped to a fixed fallback code at the service boundary.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace hushwall {

enum class DaemonError : std::int32_t {
  sessionAlreadyActive = 1,
  durationOutOfRange = 2,
  invalidDomain = 3,
  tooManyDomains = 4,
  stateUnreadable = 6,
  hostsWriteFailed = 7,
  removalUnverified = 8,
  invalidSchedule = 9,
};

// The error domain: the daemon's bundle identifier followed by ".error".
inline constexpr std::string_view daemonErrorDomain = "org.hushwall.daemon.error";

// The case name as written in code and logs, e.g. "sessionAlreadyActive".
[[nodiscard]] std::string_view caseName(DaemonError error);
// The exact user-facing text of the case; also its localized description.
[[nodiscard]] std::string message(DaemonError error);
// The D-Bus error name: the error domain, a dot and the case name.
[[nodiscard]] std::string dbusErrorName(DaemonError error);
[[nodiscard]] std::optional<DaemonError> daemonErrorFromDBusName(std::string_view name);

// A platform (operating-system) error: the errno and a description that names
// the operation and the path, e.g. "open /etc/hosts: Permission denied".
struct SystemError {
  int code = 0;
  std::string description;

  // The one place where errno becomes an error value.
  [[nodiscard]] static SystemError fromErrno(int errnum, std::string_view operation, std::string_view path);

  friend bool operator==(const SystemError&, const SystemError&) = default;
};

// The failures of the atomic writers that are their own rather than the
// platform's: the temporary file could not be created, or the final rename
// failed. Both keep the errno and the path (the temporary file, the target).
struct WriterError {
  enum class Kind { cannotOpenTemporaryFile, renameFailed };
  Kind kind = Kind::cannotOpenTemporaryFile;
  std::string path;
  int errnum = 0;

  [[nodiscard]] static WriterError cannotOpenTemporaryFile(std::string temporaryPath, int errnum) {
    return {Kind::cannotOpenTemporaryFile, std::move(temporaryPath), errnum};
  }
  [[nodiscard]] static WriterError renameFailed(std::string target, int errnum) {
    return {Kind::renameFailed, std::move(target), errnum};
  }

  friend bool operator==(const WriterError&, const WriterError&) = default;
};

using Error = std::variant<DaemonError, SystemError, WriterError>;

template <class T>
using Result = std::expected<T, Error>;

// The localized description: a DaemonError's message, or a sentence naming the
// failed operation for every other error.
[[nodiscard]] std::string describe(const Error& error);
// Whether the error is a platform error saying that nothing is at the path.
[[nodiscard]] bool isNoSuchFile(const Error& error);
// The DaemonError inside, if the error is one.
[[nodiscard]] std::optional<DaemonError> asDaemonError(const Error& error);

}  // namespace hushwall
