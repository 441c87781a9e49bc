// "schedules.json" in the daemon's root-only state directory: the ScheduleSet,
// read strictly and written through RootOwnedFile. A file that cannot be read
// or decoded, has a schema version we do not read, or holds a schedule that
// validation refuses is moved aside as "schedules.json.broken" (replacing an
// older one), so the daemon carries on with no schedules. Saving writes the
// lowest schema version that can hold the set and removes the file when no
// schedule is left: the file exists exactly while the user has schedules.
//
// Holds no lock and no state between calls: the coordinator serialises every
// call but `exists`, which any thread may make. Copyable.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "DaemonCore/RootOwnedFile.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/ScheduleSet.hpp"

namespace hushwall {

class ScheduleStore {
 public:
  static constexpr std::string_view fileName = "schedules.json";
  static constexpr std::string_view brokenFileName = "schedules.json.broken";

  // There is no schedules file.
  struct None {
    friend bool operator==(const None&, const None&) = default;
  };
  // The file was unusable and has been moved aside, or an attempt was made.
  struct Quarantined {
    std::string reason;
    friend bool operator==(const Quarantined&, const Quarantined&) = default;
  };
  // A ScheduleSet: the file was read and every schedule in it is valid.
  using Load = std::variant<None, ScheduleSet, Quarantined>;

  // File-system access goes through `steps`; reading does not.
  explicit ScheduleStore(std::string directory, FileIO::Steps steps = FileIO::Steps::live());

  [[nodiscard]] const std::string& directory() const { return directory_; }
  [[nodiscard]] const std::string& path() const { return file_.path(); }
  [[nodiscard]] const std::string& brokenPath() const { return brokenPath_; }

  // Whether anything is at the file's path; reads no contents.
  [[nodiscard]] bool exists() const;
  // Never fails. The set is the validated one (version 3, records of unknown
  // ids dropped); the file itself is not rewritten.
  [[nodiscard]] Load load() const;
  // Fails with the validation's DaemonError (the file untouched) or the
  // writer's error (the previous file intact). An empty set removes the file.
  [[nodiscard]] Result<void> save(const ScheduleSet& set) const;
  // Removing an absent file succeeds; after a removal the directory is synced.
  [[nodiscard]] Result<void> remove() const;

 private:
  [[nodiscard]] Quarantined quarantine(std::string reason) const;

  std::string directory_;
  std::string brokenPath_;
  RootOwnedFile file_;
};

}  // namespace hushwall
