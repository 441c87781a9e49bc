#include "HushwallCore/FilterApplyState.hpp"

namespace hushwall {

bool FilterApplyState::start() {
  isStopped_ = false;
  if (isApplying_) {
    hasPendingChange_ = true;
    return false;
  }
  isApplying_ = true;
  hasPendingChange_ = false;
  return true;
}

bool FilterApplyState::configurationChanged() {
  if (isStopped_) return false;
  if (isApplying_) {
    hasPendingChange_ = true;
    return false;
  }
  isApplying_ = true;
  return true;
}

FilterApplyState::Next FilterApplyState::applyFinished() {
  if (isStopped_) {
    isApplying_ = false;
    return Next::stopped;
  }
  if (!hasPendingChange_) {
    isApplying_ = false;
    return Next::idle;
  }
  hasPendingChange_ = false;
  return Next::applyAgain;
}

void FilterApplyState::stop() { isStopped_ = true; }

}  // namespace hushwall
