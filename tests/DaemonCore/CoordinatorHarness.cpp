#include "CoordinatorHarness.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>

#include "DaemonCore/HostsFile.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "HushwallCore/ScheduleCalendar.hpp"

namespace hushwall::testing {

Result<std::optional<SessionState>> SwitchableStore::load() const { return real_.load(); }

Result<void> SwitchableStore::save(const SessionState& state) {
  if (failSave) return std::unexpected(WriterError::renameFailed(real_.path(), EROFS));
  ++saves;
  return real_.save(state);
}

Result<void> SwitchableStore::remove() {
  if (beforeRemove) beforeRemove();
  note_("delete");
  if (failRemove) return std::unexpected(SystemError::fromErrno(EBUSY, "unlink", real_.path()));
  return real_.remove();
}

CoordinatorHarness::CoordinatorHarness(std::string zoneID, double wall)
    : hostsPath(directory.file("hosts")),
      stateDirectory(directory.file("state")),
      zone(std::move(zoneID)),
      clock(std::make_shared<FakeTimeSource>(wall, 5000, "A")) {
  writeFile(hostsPath, "127.0.0.1\tlocalhost\n");
  restart();
}

void CoordinatorHarness::restart() {
  store = std::make_shared<SwitchableStore>(stateDirectory, [this](const std::string& e) { note(e); });
  FileIO::Steps steps = FileIO::Steps::live();
  steps.write = [this](const std::string& path, std::string_view bytes) -> Result<void> {
    if (duringHostsWrite) duringHostsWrite();
    ++hostsWrites;
    return FileIO::Steps::live().write(path, bytes);
  };
  steps.rename = [this](const std::string& from, const std::string& to) -> Result<void> {
    if (failHostsWrite) return std::unexpected(WriterError::renameFailed(to, EACCES));
    if (dropHostsWrites) return {};
    return FileIO::Steps::live().rename(from, to);
  };
  BlockController blocks{HostsFile(hostsPath, steps)};
  coordinator = std::make_unique<SessionCoordinator>(
      store, ScheduleStore(stateDirectory), blocks, clock, Timekeeper{},
      [zone = zone] { return ScheduleCalendar::inTimeZone(zone); }, true, [this] { note("ring"); },
      [this] { note("flush"); });
}

void CoordinatorHarness::note(const std::string& event) {
  std::lock_guard lock(eventsMutex);
  events.push_back(event);
}

std::vector<std::string> CoordinatorHarness::takeEvents() {
  std::lock_guard lock(eventsMutex);
  return std::exchange(events, {});
}

std::string CoordinatorHarness::hosts() const { return readFile(hostsPath); }

bool CoordinatorHarness::hostsHasBlock() const { return HostsRegions::contains(hosts()); }

void CoordinatorHarness::writeSessionFile(const std::string& bytes) {
  ::mkdir(stateDirectory.c_str(), 0700);
  writeFile(stateDirectory + "/session.json", bytes, 0600);
}

void CoordinatorHarness::saveSchedules(const std::vector<Schedule>& schedules) {
  auto saved = coordinator->saveSchedules(schedules);
  if (!saved) ADD_FAILURE() << describe(saved.error());
}

}  // namespace hushwall::testing
