// Where the running session is persisted. The coordinator reaches its store
// only through this interface, so that another store can stand in.
#pragma once

#include <optional>

#include "HushwallCore/Error.hpp"
#include "HushwallCore/SessionState.hpp"

namespace hushwall {

class SessionPersisting {
 public:
  virtual ~SessionPersisting() = default;

  // Whether anything is at the file's path; reads no contents. Any thread.
  [[nodiscard]] virtual bool exists() const = 0;
  // The session on record, or none when there is no file. Fails with
  // DaemonError::stateUnreadable when the file cannot be read or decoded.
  [[nodiscard]] virtual Result<std::optional<SessionState>> load() const = 0;
  // Replaces the record atomically; on failure the previous file is intact.
  [[nodiscard]] virtual Result<void> save(const SessionState& state) = 0;
  // Removes the record; removing an absent record succeeds.
  [[nodiscard]] virtual Result<void> remove() = 0;
};

}  // namespace hushwall
