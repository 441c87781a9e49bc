#include "DaemonCore/ScheduleStore.hpp"

#include "DaemonCore/FileIO.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Log.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

const Logger& logger() {
  static const Logger logger(LogSubsystem::daemon, "schedules");
  return logger;
}

}  // namespace

ScheduleStore::ScheduleStore(std::string directory, FileIO::Steps steps)
    : directory_(std::move(directory)),
      brokenPath_(cat(directory_, "/", brokenFileName)),
      file_(cat(directory_, "/", fileName), std::move(steps)) {}

bool ScheduleStore::exists() const { return FileIO::itemExists(path()); }

ScheduleStore::Load ScheduleStore::load() const {
  auto bytes = FileIO::readWholeFile(path());
  if (!bytes) {
    if (isNoSuchFile(bytes.error())) return None{};
    return quarantine(describe(bytes.error()));
  }
  auto set = ScheduleSet::decode(*bytes);
  if (!set) return quarantine("the file could not be decoded");
  if (set->schemaVersion < ScheduleSet::oldestReadableSchemaVersion ||
      set->schemaVersion > ScheduleSet::currentSchemaVersion) {
    return quarantine(cat("schema version ", set->schemaVersion, " is not one we read"));
  }
  auto valid = set->validated();
  if (!valid) return quarantine("a schedule in the file is no longer one we would accept");
  return std::move(*valid);
}

Result<void> ScheduleStore::save(const ScheduleSet& set) const {
  auto valid = set.validated();
  if (!valid) return std::unexpected(valid.error());
  if (valid->isEmpty()) return remove();
  // The lowest version lets a reader that knows only one list per schedule
  // read the file while no schedule uses several.
  valid->schemaVersion = valid->lowestSchemaVersion();
  return file_.write(valid->encoded());
}

Result<void> ScheduleStore::remove() const { return file_.remove(); }

ScheduleStore::Quarantined ScheduleStore::quarantine(std::string reason) const {
  logger().error(cat("schedules.json unusable (", reason, ") \u2014 moving it aside"));
  // Only the latest unusable file is kept.
  (void)file_.steps().remove(brokenPath_);
  if (auto moved = file_.steps().move(path(), brokenPath_); !moved) {
    logger().fault(cat("could not move schedules.json aside: ", describe(moved.error())));
  } else {
    file_.steps().syncDirectory(directory_);
  }
  return Quarantined{std::move(reason)};
}

}  // namespace hushwall
