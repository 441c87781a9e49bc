// A SessionCoordinator on real files in a temporary directory, with a fake
// clock, switches that fail single file steps, and a record of the outward
// effects in the order they happened ("ring", "flush", "delete").
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DaemonCore/SessionCoordinator.hpp"
#include "DaemonCore/SessionStore.hpp"
#include "support/FakeTimeSource.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {

// SessionStore with switches; records every removal as the "delete" effect.
class SwitchableStore final : public SessionPersisting {
 public:
  SwitchableStore(std::string directory, std::function<void(const std::string&)> note)
      : real_(std::move(directory)), note_(std::move(note)) {}

  bool exists() const override { return real_.exists(); }
  Result<std::optional<SessionState>> load() const override;
  Result<void> save(const SessionState& state) override;
  Result<void> remove() override;

  const SessionStore& real() const { return real_; }

  std::atomic<bool> failSave{false};
  std::atomic<bool> failRemove{false};
  std::atomic<int> saves{0};
  std::function<void()> beforeRemove;  // set before the coordinator runs

 private:
  SessionStore real_;
  std::function<void(const std::string&)> note_;
};

struct CoordinatorHarness {
  explicit CoordinatorHarness(std::string zone = "UTC", double wall = 0);

  // Builds a fresh coordinator on the same files, as a restarted daemon would.
  void restart();
  std::vector<std::string> takeEvents();
  [[nodiscard]] std::string hosts() const;
  [[nodiscard]] bool hostsHasBlock() const;
  // Puts `bytes` in place of the session file, creating the state directory.
  void writeSessionFile(const std::string& bytes);
  // Writes the schedules file through the store, as a save from the app would.
  void saveSchedules(const std::vector<Schedule>& schedules);

  TemporaryDirectory directory;
  std::string hostsPath;
  std::string stateDirectory;
  std::string zone;
  std::shared_ptr<FakeTimeSource> clock;
  std::shared_ptr<SwitchableStore> store;
  std::atomic<bool> failHostsWrite{false};
  // Hosts writes that report success but never reach the file.
  std::atomic<bool> dropHostsWrites{false};
  // Called inside the hosts file's write step, before any byte is written.
  std::function<void()> duringHostsWrite;
  std::atomic<int> hostsWrites{0};
  std::unique_ptr<SessionCoordinator> coordinator;

  std::mutex eventsMutex;
  std::vector<std::string> events;  // guarded by eventsMutex
  void note(const std::string& event);
};

}  // namespace hushwall::testing
