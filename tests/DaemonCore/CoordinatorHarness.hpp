// A SessionCoordinator on real files in a temporary directory, with a fake
// clock, switches that fail single file steps, and a record of the outward
// effects in the order they happened ("ring", "flush", "delete": the session
// file's removal).
#pragma once

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DaemonCore/HostsFile.hpp"
#include "DaemonCore/SessionCoordinator.hpp"
#include "DaemonCore/SessionStore.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "support/FakeTimeSource.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {

struct CoordinatorHarness {
  CoordinatorHarness() {
    writeFile(hostsPath, "127.0.0.1\tlocalhost\n");
    std::filesystem::create_directory(stateDirectory);
    restart();
  }

  // Builds a fresh coordinator on the same files, as a restarted daemon would.
  void restart() {
    const FileIO::Steps& live = FileIO::Steps::live();
    FileIO::Steps steps = live;
    steps.rename = [this, &live](const std::string& from, const std::string& to) -> Result<void> {
      const bool hosts = to == hostsPath;
      if (hosts && duringHostsWrite) duringHostsWrite();
      ++renames;
      if (hosts ? failHostsWrite : failSave)
        return std::unexpected(WriterError::renameFailed(to, hosts ? EACCES : EROFS));
      return hosts && dropHostsWrites ? Result<void>() : live.rename(from, to);
    };
    steps.remove = [this, &live](const std::string& path) -> Result<void> {
      if (beforeRemove) beforeRemove();
      note("delete");
      return failRemove ? std::unexpected(SystemError::fromErrno(EBUSY, "unlink", path)) : live.remove(path);
    };
    store = std::make_shared<SessionStore>(stateDirectory, steps);
    coordinator = std::make_unique<SessionCoordinator>(
        store, ScheduleStore(stateDirectory), BlockController{HostsFile(hostsPath, steps)}, clock, Timekeeper{},
        [] { return ScheduleCalendar::inTimeZone("UTC"); }, true, [this] { note("ring"); }, [this] { note("flush"); });
  }

  std::vector<std::string> takeEvents() {
    std::lock_guard lock(eventsMutex_);
    return std::exchange(events_, {});
  }
  [[nodiscard]] std::string hosts() const { return readFile(hostsPath); }
  [[nodiscard]] bool hostsHasBlock() const { return HostsRegions::contains(hosts()); }

  TemporaryDirectory directory;
  std::string hostsPath = directory.file("hosts"), stateDirectory = directory.file("state");
  std::shared_ptr<FakeTimeSource> clock = std::make_shared<FakeTimeSource>(0, 5000, "A");
  std::shared_ptr<SessionStore> store;
  // Hosts writes that fail at the rename or report success but never reach the file; session
  // saves and removals that fail.
  std::atomic<bool> failHostsWrite{false}, dropHostsWrites{false}, failSave{false}, failRemove{false};
  std::atomic<int> renames{0};             // of either file, failed ones too
  std::function<void()> duringHostsWrite;  // called just before a hosts write's rename
  std::function<void()> beforeRemove;      // called as the session file is removed
  std::unique_ptr<SessionCoordinator> coordinator;

 private:
  void note(const std::string& event) {
    std::lock_guard lock(eventsMutex_);
    events_.push_back(event);
  }
  std::mutex eventsMutex_;
  std::vector<std::string> events_;  // guarded by eventsMutex_
};

}  // namespace hushwall::testing
