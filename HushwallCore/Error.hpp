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

[[nodiscard]] constexpr std::int32_t errorCode(DaemonError error) { return static_cast<std::int32_t>(error); }
// The case with that code; no value for 0, 5, negative or unknown codes.
[[nodiscard]] std::optional<DaemonError> daemonErrorFromCode(std::int64_t code);
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
  [[nodiscard]] bool isNoSuchFile() const;

  friend bool operator==(const SystemError&, const SystemError&) = default;
};

// The failures of the two atomic writers that are their own rather than the
// platform's: the temporary file could not be created, or the final rename failed.
enum class WriterFailure { cannotOpenTemporaryFile, renameFailed };

template <class Tag>
struct WriterError {
  WriterFailure kind = WriterFailure::cannotOpenTemporaryFile;
  std::string temporaryPath;  // cannotOpenTemporaryFile
  std::int32_t errnum = 0;    // renameFailed

  [[nodiscard]] static WriterError cannotOpenTemporaryFile(std::string path) {
    return {WriterFailure::cannotOpenTemporaryFile, std::move(path), 0};
  }
  [[nodiscard]] static WriterError renameFailed(std::int32_t errnum) { return {WriterFailure::renameFailed, {}, errnum}; }

  friend bool operator==(const WriterError&, const WriterError&) = default;
};
using RootFileError = WriterError<struct RootFileTag>;
using HostsFileError = WriterError<struct HostsFileTag>;

using Error = std::variant<DaemonError, SystemError, RootFileError, HostsFileError>;

template <class T>
using Result = std::expected<T, Error>;

// The localized description: a DaemonError's message, or a sentence naming the
// failed operation for every other error.
[[nodiscard]] std::string describe(const Error& error);
// The DaemonError inside, if the error is one.
[[nodiscard]] std::optional<DaemonError> asDaemonError(const Error& error);

}  // namespace hushwall
