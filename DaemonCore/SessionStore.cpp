#include "DaemonCore/SessionStore.hpp"

#include "DaemonCore/FileIO.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Log.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

// The app only learns stateUnreadable; the log keeps why.
std::unexpected<Error> unreadable(std::string_view why) {
  static const Logger logger(LogSubsystem::daemon, "store");
  logger.error(cat("session.json unreadable: ", why));
  return std::unexpected<Error>(DaemonError::stateUnreadable);
}

}  // namespace

SessionStore::SessionStore(std::string directory, FileIO::Steps steps)
    : directory_(std::move(directory)), file_(cat(directory_, "/", fileName), std::move(steps)) {}

bool SessionStore::exists() const { return FileIO::itemExists(path()); }

Result<std::optional<SessionState>> SessionStore::load() const {
  auto bytes = FileIO::readWholeFile(path());
  if (!bytes) {
    if (isNoSuchFile(bytes.error())) return std::nullopt;
    return unreadable(describe(bytes.error()));
  }
  auto state = SessionState::decode(*bytes);
  if (!state) return unreadable(state.error().reason);
  if (state->schemaVersion < SessionState::oldestReadableSchemaVersion ||
      state->schemaVersion > SessionState::currentSchemaVersion) {
    return unreadable(cat("schema version ", state->schemaVersion, " is not one we read"));
  }
  state->schemaVersion = SessionState::currentSchemaVersion;
  return *state;
}

Result<void> SessionStore::save(const SessionState& state) { return file_.write(state.encoded()); }

Result<void> SessionStore::remove() { return file_.remove(); }

}  // namespace hushwall
