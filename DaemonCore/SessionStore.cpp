#include "DaemonCore/SessionStore.hpp"

#include "DaemonCore/FileIO.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {

SessionStore::SessionStore(std::string directory, RootOwnedFile::Syscalls syscalls)
    : directory_(std::move(directory)), file_(cat(directory_, "/", fileName), std::move(syscalls)) {}

bool SessionStore::exists() const { return FileIO::itemExists(fileURL()); }

Result<std::optional<SessionState>> SessionStore::load() const {
  auto bytes = FileIO::readWholeFile(fileURL());
  if (!bytes) {
    const auto* error = std::get_if<SystemError>(&bytes.error());
    if (error != nullptr && error->isNoSuchFile()) return std::nullopt;
    return std::unexpected(DaemonError::stateUnreadable);
  }
  auto state = SessionState::decode(*bytes);
  if (!state || state->schemaVersion < SessionState::oldestReadableSchemaVersion ||
      state->schemaVersion > SessionState::currentSchemaVersion) {
    return std::unexpected(DaemonError::stateUnreadable);
  }
  state->schemaVersion = SessionState::currentSchemaVersion;
  return *state;
}

Result<void> SessionStore::save(const SessionState& state) { return file_.write(state.encoded()); }

Result<void> SessionStore::remove() {
  if (auto removed = file_.syscalls().removeFile(fileURL()); !removed) {
    const auto* error = std::get_if<SystemError>(&removed.error());
    if (error != nullptr && error->isNoSuchFile()) return {};
    return removed;
  }
  file_.syscalls().syncDirectory(directory_);
  return {};
}

}  // namespace hushwall
