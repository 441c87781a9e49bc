// A TimeSource whose four readings are set by hand. Thread-safe, so concurrent
// tests can share one.
#pragma once

#include <mutex>
#include <string>

#include "HushwallCore/SessionState.hpp"

namespace hushwall::testing {

class FakeTimeSource final : public TimeSource {
 public:
  FakeTimeSource(double wall = 1000, double continuous = 5000, std::string bootID = "A", double bootTime = 0)
      : wall_(wall), continuous_(continuous), bootTime_(bootTime), bootID_(std::move(bootID)) {}

  [[nodiscard]] Date wallClock() const override { return Date{locked(wall_)}; }
  [[nodiscard]] Date bootTime() const override { return Date{locked(bootTime_)}; }
  [[nodiscard]] std::string bootID() const override { return locked(bootID_); }
  [[nodiscard]] double continuous() const override { return locked(continuous_); }

  // Moves the wall clock and the continuous clock forward together.
  void advance(double seconds) {
    std::lock_guard lock(mutex_);
    wall_ += seconds;
    continuous_ += seconds;
  }
  // A reboot: new boot id, continuous clock restarted, wall clock moved by `downtime`.
  void reboot(std::string newBootID, double downtime, double continuousAfter = 40) {
    std::lock_guard lock(mutex_);
    bootID_ = std::move(newBootID);
    wall_ += downtime;
    continuous_ = continuousAfter;
    bootTime_ = wall_ - continuousAfter;
  }

 private:
  template <typename T>
  T locked(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }

  mutable std::mutex mutex_;
  double wall_, continuous_, bootTime_;  // guarded by mutex_
  std::string bootID_;                   // guarded by mutex_
};

}  // namespace hushwall::testing
