// "session.json" in the daemon's root-only state directory: the one running
// session, as the JSON of SessionState, written through RootOwnedFile. The file
// exists while a session is on record (or its end is not yet cleaned up).
//
// Holds no lock: the coordinator serialises loads, saves and removals. Never
// deletes or moves an unreadable file by itself. Copyable.
#pragma once

#include <string>

#include "DaemonCore/RootOwnedFile.hpp"
#include "DaemonCore/SessionPersisting.hpp"

namespace hushwall {

class SessionStore final : public SessionPersisting {
 public:
  static constexpr std::string_view fileName = "session.json";

  // The directory is created 0700 by the first save.
  explicit SessionStore(std::string directory, FileIO::Steps steps = FileIO::Steps::live());

  [[nodiscard]] const std::string& directory() const { return directory_; }
  [[nodiscard]] const std::string& path() const { return file_.path(); }

  [[nodiscard]] bool exists() const override;
  // Accepts schema versions 1 to 3 and returns the record as version 3; the
  // file itself is upgraded only by the next save.
  [[nodiscard]] Result<std::optional<SessionState>> load() const override;
  // The writer's error is returned unchanged.
  [[nodiscard]] Result<void> save(const SessionState& state) override;
  // After a removal the directory is synced, so the removal survives a power loss.
  [[nodiscard]] Result<void> remove() override;

 private:
  std::string directory_;
  RootOwnedFile file_;
};

}  // namespace hushwall
