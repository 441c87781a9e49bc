#include "support/FakeTimeSource.hpp"

namespace hushwall::testing {

FakeTimeSource::FakeTimeSource(double wall, double continuous, std::string bootID, double bootTime)
    : wall_(wall), continuous_(continuous), bootID_(std::move(bootID)), bootTime_(bootTime) {}

Date FakeTimeSource::wallClock() const {
  std::lock_guard lock(mutex_);
  return Date{wall_};
}
Date FakeTimeSource::bootTime() const {
  std::lock_guard lock(mutex_);
  return Date{bootTime_};
}
std::string FakeTimeSource::bootID() const {
  std::lock_guard lock(mutex_);
  return bootID_;
}
double FakeTimeSource::continuous() const {
  std::lock_guard lock(mutex_);
  return continuous_;
}
void FakeTimeSource::advance(double seconds) {
  std::lock_guard lock(mutex_);
  wall_ += seconds;
  continuous_ += seconds;
}
void FakeTimeSource::setContinuous(double continuous) {
  std::lock_guard lock(mutex_);
  continuous_ = continuous;
}
void FakeTimeSource::reboot(std::string newBootID, double downtime, double continuousAfter) {
  std::lock_guard lock(mutex_);
  bootID_ = std::move(newBootID);
  wall_ += downtime;
  continuous_ = continuousAfter;
  bootTime_ = wall_ - continuousAfter;
}

}  // namespace hushwall::testing
