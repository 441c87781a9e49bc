// A TimeSource whose four readings are set by hand. Thread-safe, so concurrent
// tests can share one.
#pragma once

#include <mutex>
#include <string>

#include "HushwallCore/SessionState.hpp"

namespace hushwall::testing {

class FakeTimeSource final : public TimeSource {
 public:
  FakeTimeSource(double wall = 1000, double continuous = 5000, std::string bootID = "A", double bootTime = 0);

  [[nodiscard]] Date wallClock() const override;
  [[nodiscard]] Date bootTime() const override;
  [[nodiscard]] std::string bootID() const override;
  [[nodiscard]] double continuous() const override;

  // Moves the wall clock and the continuous clock forward together.
  void advance(double seconds);
  void setContinuous(double continuous);
  // A reboot: new boot id, continuous clock restarted, wall clock moved by `downtime`.
  void reboot(std::string newBootID, double downtime, double continuousAfter = 40);

 private:
  mutable std::mutex mutex_;
  double wall_;         // guarded by mutex_
  double continuous_;   // guarded by mutex_
  std::string bootID_;  // guarded by mutex_
  double bootTime_;     // guarded by mutex_
};

}  // namespace hushwall::testing
