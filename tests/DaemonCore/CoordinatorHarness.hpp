// A SessionCoordinator on real files in a temporary directory, with a fake
// clock, switches that fail single file steps, and a record of the outward
// effects in the order they happened ("ring", "flush", "delete").
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
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

// SessionStore with switches; records every removal as the "delete" effect.
class SwitchableStore final : public SessionPersisting {
 public:
  SwitchableStore(std::string directory, std::function<void()> deleted)
      : real_(std::move(directory)), deleted_(std::move(deleted)) {}
  bool exists() const override { return real_.exists(); }
  Result<std::optional<SessionState>> load() const override { return real_.load(); }
  Result<void> save(const SessionState& state) override {
    if (failSave) return std::unexpected(WriterError::renameFailed(real_.path(), EROFS));
    return ++saves, real_.save(state);
  }
  Result<void> remove() override {
    if (beforeRemove) beforeRemove();
    deleted_();
    if (failRemove) return std::unexpected(SystemError::fromErrno(EBUSY, "unlink", real_.path()));
    return real_.remove();
  }
  const SessionStore& real() const { return real_; }

  std::atomic<bool> failSave{false}, failRemove{false};
  std::atomic<int> saves{0};
  std::function<void()> beforeRemove;  // set before the coordinator runs

 private:
  SessionStore real_;
  std::function<void()> deleted_;
};

struct CoordinatorHarness {
  CoordinatorHarness() {
    writeFile(hostsPath, "127.0.0.1\tlocalhost\n");
    restart();
  }

  // Builds a fresh coordinator on the same files, as a restarted daemon would.
  void restart() {
    store = std::make_shared<SwitchableStore>(stateDirectory, [this] { note("delete"); });
    FileIO::Steps steps = FileIO::Steps::live();
    steps.write = [this](const std::string& path, std::string_view bytes) {
      if (duringHostsWrite) duringHostsWrite();
      return ++hostsWrites, FileIO::Steps::live().write(path, bytes);
    };
    steps.rename = [this](const std::string& from, const std::string& to) -> Result<void> {
      if (failHostsWrite) return std::unexpected(WriterError::renameFailed(to, EACCES));
      return dropHostsWrites ? Result<void>() : FileIO::Steps::live().rename(from, to);
    };
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
  // Puts `bytes` in place of the session file, creating the state directory.
  void writeSessionFile(const std::string& bytes) {
    ::mkdir(stateDirectory.c_str(), 0700);
    writeFile(stateDirectory + "/session.json", bytes, 0600);
  }

  TemporaryDirectory directory;
  std::string hostsPath = directory.file("hosts"), stateDirectory = directory.file("state");
  std::shared_ptr<FakeTimeSource> clock = std::make_shared<FakeTimeSource>(0, 5000, "A");
  std::shared_ptr<SwitchableStore> store;
  // Hosts writes that fail at the rename, or report success but never reach the file.
  std::atomic<bool> failHostsWrite{false}, dropHostsWrites{false};
  // Called inside the hosts file's write step, before any byte is written.
  std::function<void()> duringHostsWrite;
  std::atomic<int> hostsWrites{0};
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
