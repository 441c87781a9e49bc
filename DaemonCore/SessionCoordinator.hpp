// The one owner of the running session. Every entry into the session engine
// goes through it: the app's start request, the ticker, the file watchers'
// repair call, the launch reconcile, the schedule operations, the filter's rule
// requests and the idle and handover checks.
//
// The locked-step pattern: every state change takes the mutation lock
// (BlockController::mutationLock()), decides and does the file work, publishes
// the new state, releases the lock, and only then carries out the outward
// effects in a fixed order: ring the filter if its rules changed, flush the DNS
// caches, delete the session file. State in memory changes only after the file
// work it depends on has succeeded.
//
// Thread-safety: every public operation may be called from any thread at any
// time. Readers (`current`, `isStuck`, `filterRules`) take only the small
// snapshot lock, which is taken inside the mutation lock by `publish` and never
// the other way round, so they never wait behind file I/O. Operations named
// `...Locked` require the mutation lock held by the caller (checked in debug
// builds); the lock is not re-entrant, so none of them may call back into a
// public operation that takes it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DaemonCore/BlockController.hpp"
#include "DaemonCore/ScheduleDecision.hpp"
#include "DaemonCore/ScheduleEvaluator.hpp"
#include "DaemonCore/ScheduleStore.hpp"
#include "DaemonCore/SessionPersisting.hpp"
#include "DaemonCore/Timekeeper.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Log.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/ScheduleCalendar.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "HushwallCore/SessionState.hpp"
#include "HushwallCore/TickCadence.hpp"

namespace hushwall {

class SessionCoordinator {
 public:
  static constexpr double tickInterval = TickCadence::interval;

  // The result of every upkeep operation.
  struct Outcome {
    enum class Kind {
      running,  // a session is live; `state` is its current record
      ended,    // the session has just ended; `state` is its final record
      stuck,    // the block could not be brought into the required state; `error` is the failure
      idle,     // no session and nothing wrong
    };
    Kind kind = Kind::idle;
    std::optional<SessionState> state;
    std::optional<Error> error;

    [[nodiscard]] static Outcome running(SessionState state) { return {Kind::running, std::move(state), {}}; }
    [[nodiscard]] static Outcome ended(SessionState state) { return {Kind::ended, std::move(state), {}}; }
    [[nodiscard]] static Outcome stuck(Error error) { return {Kind::stuck, {}, std::move(error)}; }
    [[nodiscard]] static Outcome idle() { return {}; }

    friend bool operator==(const Outcome&, const Outcome&) = default;
  };

  // The outward effects a locked step asks for, run after the lock is released.
  struct Effects {
    bool flush = false;        // flush the DNS caches (only if `flushesDNS`)
    bool deleteState = false;  // delete the session file, then clear `isTearingDown`
    friend bool operator==(const Effects&, const Effects&) = default;
  };

  // Forwards the four readings to the live source, each a fresh query.
  class Clock final : public TimeSource {
   public:
    explicit Clock(std::shared_ptr<const TimeSource> base) : base_(std::move(base)) {}
    [[nodiscard]] Date wallClock() const override { return base_->wallClock(); }
    [[nodiscard]] Date bootTime() const override { return base_->bootTime(); }
    [[nodiscard]] std::string bootID() const override { return base_->bootID(); }
    [[nodiscard]] double continuous() const override { return base_->continuous(); }

   private:
    std::shared_ptr<const TimeSource> base_;
  };

  using CalendarFunction = std::function<ScheduleCalendar()>;

  // `calendar` empty means a fresh calendar for the machine's current time zone
  // on every call. `flushDNS` flushes the system's DNS caches (the daemon passes
  // DNSCache::flush); it and `onFilterRulesChanged` are called only from the
  // effect step, with no lock held.
  SessionCoordinator(std::shared_ptr<SessionPersisting> store, ScheduleStore schedules, BlockController blocks,
                     std::shared_ptr<const TimeSource> clock, Timekeeper keeper, CalendarFunction calendar,
                     bool flushesDNS, std::function<void()> onFilterRulesChanged, std::function<void()> flushDNS);

  SessionCoordinator(const SessionCoordinator&) = delete;
  SessionCoordinator& operator=(const SessionCoordinator&) = delete;

  // ---- Readers: the last published snapshot, without waiting for writers.
  [[nodiscard]] std::optional<SessionState> current() const;
  [[nodiscard]] bool isStuck() const;
  // The rule set of one consistent snapshot of (session, stuck).
  [[nodiscard]] FilterRuleSet filterRules() const;

  // ---- The app's start. Fails, in this order, with durationOutOfRange,
  // invalidDomain/tooManyDomains, the stuck error, sessionAlreadyActive (ending,
  // running, on disk, or a managed region already in the hosts file),
  // stateUnreadable, or a file error; a failed start changes nothing, rings
  // nothing and leaves no session file behind.
  [[nodiscard]] Result<SessionState> start(const std::vector<std::string>& domains, double duration);

  // ---- Upkeep. Never fails: a failure makes the coordinator stuck, which
  // blocks starts, the idle exit and the handover until an upkeep step succeeds.
  // Advances the session, ends it when its time is used up, repairs the block,
  // and lets the schedules act when no session runs.
  Outcome tick();
  // The watchers' repair call: puts back the block and the session file.
  Outcome verify();
  // Once at start-up: resumes, ends or clears what a previous process left.
  Outcome reconcileOnLaunch();
  // Runs `body(hasSession)` under the mutation lock when nothing is stuck or
  // being torn down, and returns whether it ran. `body` must not call any
  // operation of this coordinator that takes the lock.
  bool whileSettled(const std::function<void(bool hasSession)>& body);

  // ---- Schedules.
  // Whether a schedules file exists; takes no lock.
  [[nodiscard]] bool hasSchedules() const;
  // Why the schedules file was last found unusable, until a good load or save.
  [[nodiscard]] std::optional<std::string> scheduleFailureReason() const;
  [[nodiscard]] ScheduleSet scheduleSet();
  // Replaces the user's schedules. Fails with the validation's DaemonError or
  // the writer's error, the file untouched.
  [[nodiscard]] Result<std::vector<Schedule>> saveSchedules(const std::vector<Schedule>& list);

 private:
  template <class T>
  struct Stepped {
    T result;
    std::optional<Effects> effects;  // none: no effect step runs
  };

  template <class T, class Body>
  T lockedStep(Body&& body);

  [[nodiscard]] Result<std::pair<SessionState, Effects>> startLocked(const std::vector<std::string>& domains,
                                                                     double duration, const Schedule* startedBy);
  [[nodiscard]] Result<std::pair<Outcome, Effects>> endLocked(const SessionState& state, std::string_view at);
  Outcome publishLocked(Outcome outcome);
  void perform(const Effects& effects);

  // Runs an upkeep body as a locked step; its effects always run afterwards.
  Outcome upkeep(std::pair<Outcome, Effects> (SessionCoordinator::*body)());
  [[nodiscard]] std::pair<Outcome, Effects> tickLocked();
  [[nodiscard]] std::pair<Outcome, Effects> verifyLocked();
  [[nodiscard]] std::pair<Outcome, Effects> reconcileLocked();
  // The stuck conversion of an upkeep failure: logs the failed step with its
  // cause (the one log line of that failure), publishes stuck and returns it.
  [[nodiscard]] std::pair<Outcome, Effects> stuckLocked(const Error& error, std::string_view step);
  // The hosts file's bytes; a file that does not exist reads as empty, so a
  // deleted hosts file gets the block written back instead of failing forever.
  [[nodiscard]] Result<std::string> readHostsLocked() const;
  // Writes `applying(session)` when the file differs from it; true when it wrote.
  [[nodiscard]] Result<bool> reassertBlockLocked(const SessionState& session);
  [[nodiscard]] Result<void> removeBlockLocked(std::string_view bytes);

  [[nodiscard]] ScheduleSet loadSchedulesLocked();
  void persistLocked(const ScheduleSet& set, std::string_view why);
  [[nodiscard]] ScheduleDecision recordScheduleOutcomesLocked(bool hasSession);
  [[nodiscard]] std::optional<std::pair<Outcome, Effects>> evaluateSchedulesLocked();
  [[nodiscard]] std::optional<std::pair<Outcome, Effects>> startScheduledSessionLocked(
      const ScheduleDecision::Start& start);
  void setScheduleFailure(std::optional<std::string> reason);
  [[nodiscard]] ScheduleCalendar makeCalendar() const;
  void assertLocked() const;

  const std::shared_ptr<SessionPersisting> store_;
  const ScheduleStore schedules_;
  const ScheduleEvaluator evaluator_{};
  const CalendarFunction calendar_;
  const BlockController blocks_;
  const Clock clock_;
  const Timekeeper keeper_;
  const bool flushesDNS_;
  const std::function<void()> onFilterRulesChanged_;
  const std::function<void()> flushDNS_;
  const Logger log_;

  // Guarded by the mutation lock.
  std::optional<SessionState> session_;
  std::optional<Error> stuckError_;
  bool isTearingDown_ = false;
  std::optional<FilterRuleSet> lastRungRules_;
  bool needsRing_ = false;

  struct Snapshot {
    std::optional<SessionState> session;
    std::optional<Error> stuck;
  };
  mutable std::mutex publishedMutex_;
  Snapshot published_;  // guarded by publishedMutex_

  mutable std::mutex scheduleFailureMutex_;
  std::optional<std::string> scheduleFailure_;  // guarded by scheduleFailureMutex_
};

}  // namespace hushwall
