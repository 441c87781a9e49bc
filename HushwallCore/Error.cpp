#include "HushwallCore/Error.hpp"

#include <cerrno>
#include <cstring>

#include "HushwallCore/CaseNames.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

constexpr CaseName<DaemonError> cases[] = {
    {DaemonError::sessionAlreadyActive, "sessionAlreadyActive"},
    {DaemonError::durationOutOfRange, "durationOutOfRange"},
    {DaemonError::invalidDomain, "invalidDomain"},
    {DaemonError::tooManyDomains, "tooManyDomains"},
    {DaemonError::stateUnreadable, "stateUnreadable"},
    {DaemonError::hostsWriteFailed, "hostsWriteFailed"},
    {DaemonError::removalUnverified, "removalUnverified"},
    {DaemonError::invalidSchedule, "invalidSchedule"},
};

std::string errnoText(int errnum) {
  char buffer[256];
  return strerror_r(errnum, buffer, sizeof buffer);  // GNU variant returns the text
}

std::string describeWriter(const WriterError& error) {
  if (error.kind == WriterError::Kind::cannotOpenTemporaryFile) {
    return cat("could not create the temporary file ", error.path, ": ", errnoText(error.errnum));
  }
  return cat("could not rename the temporary file over ", error.path, ": ", errnoText(error.errnum));
}

}  // namespace

std::string_view caseName(DaemonError error) { return nameIn(cases, error); }

std::string message(DaemonError error) {
  switch (error) {
    case DaemonError::sessionAlreadyActive:
      return "A session is already running. It cannot be ended early.";
    case DaemonError::durationOutOfRange:
      return "Duration must be between 1 minute and 24 hours.";
    case DaemonError::invalidDomain:
      return "One or more domains are not valid hostnames.";
    case DaemonError::tooManyDomains:
      return "Too many sites to block at once \u2014 the limit is 500.";
    case DaemonError::stateUnreadable:
      return "The session state file could not be read.";
    case DaemonError::hostsWriteFailed:
      return "The hosts file could not be updated.";
    case DaemonError::removalUnverified:
      return "The block could not be confirmed removed.";
    case DaemonError::invalidSchedule:
      return "That schedule could not be saved.";
  }
  return "unknown error";
}

std::string dbusErrorName(DaemonError error) { return cat(daemonErrorDomain, ".", caseName(error)); }

std::optional<DaemonError> daemonErrorFromDBusName(std::string_view name) {
  if (!name.starts_with(daemonErrorDomain) || name.size() <= daemonErrorDomain.size() ||
      name[daemonErrorDomain.size()] != '.') {
    return std::nullopt;
  }
  return caseIn(cases, name.substr(daemonErrorDomain.size() + 1));
}

SystemError SystemError::fromErrno(int errnum, std::string_view operation, std::string_view path) {
  std::string description(operation);
  if (!path.empty()) description += cat(" ", path);
  description += cat(": ", errnoText(errnum));
  return SystemError{errnum, std::move(description)};
}

bool isNoSuchFile(const Error& error) {
  const auto* system = std::get_if<SystemError>(&error);
  return system != nullptr && system->code == ENOENT;
}

std::string describe(const Error& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, DaemonError>) {
          return message(e);
        } else if constexpr (std::is_same_v<E, SystemError>) {
          return e.description;
        } else {
          return describeWriter(e);
        }
      },
      error);
}

std::optional<DaemonError> asDaemonError(const Error& error) {
  if (const auto* daemonError = std::get_if<DaemonError>(&error)) return *daemonError;
  return std::nullopt;
}

}  // namespace hushwall
