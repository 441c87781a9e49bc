// Serialises the network filter's own work of applying a configuration: one
// apply at a time, and any number of changes that arrive during an apply
// coalesced into one more apply after it. A pure value; the caller runs the
// applies and reports when each one finishes:
//
//   start()                 -> true: begin an apply now
//   configurationChanged()  -> true: begin an apply now; false: it is queued or stopped
//   applyFinished()         -> applyAgain: begin another apply now; idle; stopped
//
// Not thread-safe; copy it freely.
#pragma once

namespace hushwall {

class FilterApplyState {
 public:
  enum class Next { idle, applyAgain, stopped };

  // Leaves the stopped state. True when the caller should begin an apply now;
  // false when an apply from before a stop() is still running, in which case
  // its applyFinished() answers applyAgain, so applies never overlap.
  [[nodiscard]] bool start();
  // True when the caller should begin an apply now; false when stopped, or when
  // an apply is running (another follows it).
  [[nodiscard]] bool configurationChanged();
  // To be called once per apply begun, when it ends.
  [[nodiscard]] Next applyFinished();
  // No new apply starts; one already running finishes and answers stopped.
  void stop();

  [[nodiscard]] bool isApplying() const { return isApplying_; }
  [[nodiscard]] bool hasPendingChange() const { return hasPendingChange_; }
  [[nodiscard]] bool isStopped() const { return isStopped_; }

  friend bool operator==(const FilterApplyState&, const FilterApplyState&) = default;

 private:
  bool isApplying_ = false;
  bool hasPendingChange_ = false;  // a change arrived during the running apply
  bool isStopped_ = false;
};

// Whether the filter's configuration stays in force after this answer: it does
// for every answer but stopped.
[[nodiscard]] constexpr bool isInForce(FilterApplyState::Next next) { return next != FilterApplyState::Next::stopped; }

}  // namespace hushwall
