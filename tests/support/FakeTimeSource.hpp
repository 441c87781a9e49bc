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
      : wall_(wall), continuous_(continuous), bootID_(std::move(bootID)), bootTime_(bootTime) {}

  [[nodiscard]] Date wallClock() const override {
    std::lock_guard lock(mutex_);
    return Date{wall_};
  }
  [[nodiscard]] Date bootTime() const override {
    std::lock_guard lock(mutex_);
    return Date{bootTime_};
  }
  [[nodiscard]] std::string bootID() const override {
    std::lock_guard lock(mutex_);
    return bootID_;
  }
  [[nodiscard]] double continuous() const override {
    std::lock_guard lock(mutex_);
    return continuous_;
  }

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
  mutable std::mutex mutex_;
  double wall_;         // guarded by mutex_
  double continuous_;   // guarded by mutex_
  std::string bootID_;  // guarded by mutex_
  double bootTime_;     // guarded by mutex_
};

}  // namespace hushwall::testing
