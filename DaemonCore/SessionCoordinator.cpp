#include "DaemonCore/SessionCoordinator.hpp"

#include <cassert>
#include <cstdint>

#include "DaemonCore/HostsDocument.hpp"
#include "HushwallCore/DomainValidator.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

// Whole seconds for log lines, truncated toward zero.
std::int64_t wholeSeconds(double seconds) {
  if (!(seconds > -9.2e18 && seconds < 9.2e18)) return 0;
  return static_cast<std::int64_t>(seconds);
}

constexpr SessionCoordinator::Effects noEffects{};

}  // namespace

SessionCoordinator::SessionCoordinator(std::shared_ptr<SessionPersisting> store, ScheduleStore schedules,
                                       BlockController blocks, std::shared_ptr<const TimeSource> clock,
                                       Timekeeper keeper, CalendarFunction calendar, bool flushesDNS,
                                       std::function<void()> onFilterRulesChanged, std::function<void()> flushDNS)
    : store_(std::move(store)),
      schedules_(std::move(schedules)),
      evaluator_(),
      calendar_(std::move(calendar)),
      blocks_(std::move(blocks)),
      clock_(std::move(clock)),
      keeper_(keeper),
      flushesDNS_(flushesDNS),
      onFilterRulesChanged_(std::move(onFilterRulesChanged)),
      flushDNS_(std::move(flushDNS)),
      log_(LogSubsystem::daemon, "session") {}

// ---- Readers

std::optional<SessionState> SessionCoordinator::current() const {
  std::lock_guard lock(publishedMutex_);
  return published_.session;
}

bool SessionCoordinator::isStuck() const {
  std::lock_guard lock(publishedMutex_);
  return published_.stuck.has_value();
}

FilterRuleSet SessionCoordinator::filterRules() const {
  std::lock_guard lock(publishedMutex_);
  return FilterRuleSet(published_.session, published_.stuck.has_value());
}

// ---- The locked step

template <class T, class Body>
T SessionCoordinator::lockedStep(Body&& body) {
  std::optional<Stepped<T>> stepped;
  {
    std::lock_guard lock(BlockController::mutationLock());
    stepped.emplace(body());
  }
  if (stepped->effects) perform(*stepped->effects);
  return std::move(stepped->result);
}

SessionCoordinator::Outcome SessionCoordinator::upkeep(std::pair<Outcome, Effects> (SessionCoordinator::*body)()) {
  return lockedStep<Outcome>([&]() -> Stepped<Outcome> {
    auto [outcome, effects] = (this->*body)();
    return {std::move(outcome), effects};
  });
}

void SessionCoordinator::assertLocked() const { assert(BlockController::mutationLock().isHeldByCurrentThread()); }

Result<SessionState> SessionCoordinator::start(const std::vector<std::string>& domains, double duration) {
  if (auto valid = Timekeeper::validate(duration); !valid) return std::unexpected(valid.error());
  auto normalized = DomainValidator::validate(domains);
  if (!normalized) return std::unexpected(normalized.error());

  auto started = lockedStep<Result<SessionState>>([&]() -> Stepped<Result<SessionState>> {
    auto result = startLocked(*normalized, duration, nullptr);
    if (!result) return {std::unexpected(result.error()), std::nullopt};
    return {std::move(result->first), result->second};
  });
  if (started) log_.notice(cat("session ", started->id.string(), " started, ", wholeSeconds(duration), "s"));
  return started;
}

Result<std::pair<SessionState, SessionCoordinator::Effects>> SessionCoordinator::startLocked(
    const std::vector<std::string>& domains, double duration, const Schedule* startedBy) {
  assertLocked();
  if (stuckError_) return std::unexpected(*stuckError_);
  if (isTearingDown_ || session_) return std::unexpected(DaemonError::sessionAlreadyActive);

  auto onDisk = store_->load();
  if (!onDisk) return std::unexpected(onDisk.error());
  if (*onDisk) return std::unexpected(DaemonError::sessionAlreadyActive);

  auto hosts = readHostsLocked();
  if (!hosts) return std::unexpected(hosts.error());
  // A block that no session accounts for is never silently replaced.
  if (HostsRegions::contains(*hosts)) return std::unexpected(DaemonError::sessionAlreadyActive);

  auto state = keeper_.start(domains, duration, clock_, startedBy ? std::optional(startedBy->id) : std::nullopt,
                             startedBy ? std::optional(startedBy->name) : std::nullopt);
  if (!state) return std::unexpected(state.error());
  if (auto saved = store_->save(*state); !saved) return std::unexpected(saved.error());

  if (auto wrote = reassertBlockLocked(*state); !wrote) {
    (void)store_->remove();  // the start failed as a whole; its own failure changes nothing
    return std::unexpected(wrote.error());
  }
  publishLocked(Outcome::running(*state));
  return std::pair{std::move(*state), Effects{.flush = true, .deleteState = false}};
}

Result<std::pair<SessionCoordinator::Outcome, SessionCoordinator::Effects>> SessionCoordinator::endLocked(
    const SessionState& state, std::string_view at) {
  assertLocked();
  auto hosts = readHostsLocked();
  if (!hosts) return std::unexpected(hosts.error());
  if (HostsRegions::contains(*hosts)) {
    if (auto removed = removeBlockLocked(*hosts); !removed) return std::unexpected(removed.error());
  }
  session_.reset();
  isTearingDown_ = true;
  Outcome outcome = publishLocked(Outcome::ended(state));
  log_.notice(cat("session ", state.id.string(), " ended at ", at));
  return std::pair{std::move(outcome), Effects{.flush = true, .deleteState = true}};
}

SessionCoordinator::Outcome SessionCoordinator::publishLocked(Outcome outcome) {
  assertLocked();
  switch (outcome.kind) {
    case Outcome::Kind::running:
      session_ = outcome.state;
      stuckError_.reset();
      break;
    case Outcome::Kind::ended:
    case Outcome::Kind::idle:
      session_.reset();
      stuckError_.reset();
      break;
    case Outcome::Kind::stuck:
      stuckError_ = outcome.error;
      break;
  }
  {
    std::lock_guard lock(publishedMutex_);
    published_ = Snapshot{session_, stuckError_};
  }
  FilterRuleSet rules(session_, stuckError_.has_value());
  if (lastRungRules_ != rules) {
    lastRungRules_ = std::move(rules);
    needsRing_ = true;
  }
  return outcome;
}

void SessionCoordinator::perform(const Effects& effects) {
  bool ring = false;
  {
    std::lock_guard lock(BlockController::mutationLock());
    ring = std::exchange(needsRing_, false);
  }
  if (ring && onFilterRulesChanged_) onFilterRulesChanged_();
  if (effects.flush && flushesDNS_ && flushDNS_) flushDNS_();
  if (effects.deleteState) {
    if (auto removed = store_->remove(); !removed) {
      log_.fault(cat("could not delete session state: ", describe(removed.error())));
    }
    std::lock_guard lock(BlockController::mutationLock());
    isTearingDown_ = false;
  }
}

// ---- Hosts-file steps

Result<std::string> SessionCoordinator::readHostsLocked() const {
  assertLocked();
  auto bytes = blocks_.hostsFile().readData();
  if (!bytes && isNoSuchFile(bytes.error())) return std::string();
  return bytes;
}

Result<bool> SessionCoordinator::reassertBlockLocked(const SessionState& session) {
  auto bytes = readHostsLocked();
  if (!bytes) return std::unexpected(bytes.error());
  std::string wanted = HostsDocument::applying(session.domains, session.id, *bytes);
  if (wanted == *bytes) return false;
  if (auto wrote = blocks_.hostsFile().writeData(wanted); !wrote) return std::unexpected(wrote.error());
  return true;
}

Result<void> SessionCoordinator::removeBlockLocked(std::string_view bytes) {
  if (auto wrote = blocks_.hostsFile().writeData(HostsDocument::removingManagedRegion(bytes)); !wrote) return wrote;
  auto after = readHostsLocked();
  if (!after) return std::unexpected(after.error());
  if (HostsRegions::contains(*after)) return std::unexpected(DaemonError::removalUnverified);
  return {};
}

// ---- Upkeep

std::pair<SessionCoordinator::Outcome, SessionCoordinator::Effects> SessionCoordinator::stuckLocked(
    const Error& error, std::string_view step) {
  log_.fault(cat(step, " FAILED, the block is STUCK: ", describe(error)));
  return {publishLocked(Outcome::stuck(error)), noEffects};
}

SessionCoordinator::Outcome SessionCoordinator::tick() { return upkeep(&SessionCoordinator::tickLocked); }

std::pair<SessionCoordinator::Outcome, SessionCoordinator::Effects> SessionCoordinator::tickLocked() {
  if (session_) {
    SessionState updated = keeper_.tick(*session_, clock_);
    if (updated.totalDuration <= updated.consumed) {
      auto ended = endLocked(updated, "tick");
      if (!ended) return stuckLocked(ended.error(), "tick: ending the session");
      return *ended;
    }
    (void)recordScheduleOutcomesLocked(/*hasSession=*/true);
    if (auto saved = store_->save(updated); !saved) return stuckLocked(saved.error(), "tick: saving the session file");
    auto repaired = reassertBlockLocked(updated);
    if (!repaired) return stuckLocked(repaired.error(), "tick: reasserting the block");
    if (*repaired) log_.notice("tick: repaired a modified block");
    return {publishLocked(Outcome::running(std::move(updated))), Effects{.flush = *repaired}};
  }
  if (stuckError_) return {Outcome::stuck(*stuckError_), noEffects};
  if (auto scheduled = evaluateSchedulesLocked()) return std::move(*scheduled);
  return {Outcome::idle(), noEffects};
}

SessionCoordinator::Outcome SessionCoordinator::verify() { return upkeep(&SessionCoordinator::verifyLocked); }

std::pair<SessionCoordinator::Outcome, SessionCoordinator::Effects> SessionCoordinator::verifyLocked() {
  if (!session_) {
    if (stuckError_) return {Outcome::stuck(*stuckError_), noEffects};
    return {Outcome::idle(), noEffects};
  }
  const SessionState session = *session_;
  auto repaired = reassertBlockLocked(session);
  if (!repaired) return stuckLocked(repaired.error(), "repair: reasserting the block");
  if (*repaired) log_.notice("watcher: repaired the block");

  auto onDisk = store_->load();  // an unreadable file counts as no record: it is rewritten
  if (!onDisk || *onDisk != session) {
    if (auto saved = store_->save(session); !saved)
      return stuckLocked(saved.error(), "repair: saving the session file");
    log_.notice("watcher: rewrote the session file");
  }
  return {Outcome::running(session), Effects{.flush = *repaired}};
}

SessionCoordinator::Outcome SessionCoordinator::reconcileOnLaunch() {
  return upkeep(&SessionCoordinator::reconcileLocked);
}

std::pair<SessionCoordinator::Outcome, SessionCoordinator::Effects> SessionCoordinator::reconcileLocked() {
  auto onDisk = store_->load();
  if (!onDisk) return stuckLocked(onDisk.error(), "launch: reading the session file");

  if (*onDisk) {
    SessionState updated = keeper_.tick(**onDisk, clock_);
    // Held in memory before any step can fail, so that a stuck launch is retried by
    // the next tick instead of leaving the block in place with no session to end it.
    session_ = updated;
    if (updated.totalDuration <= updated.consumed) {
      auto ended = endLocked(updated, "launch");
      if (!ended) return stuckLocked(ended.error(), "launch: ending the session");
      return *ended;
    }
    if (auto saved = store_->save(updated); !saved)
      return stuckLocked(saved.error(), "launch: saving the session file");
    auto repaired = reassertBlockLocked(updated);
    if (!repaired) return stuckLocked(repaired.error(), "launch: reasserting the block");
    if (*repaired) log_.notice("launch: reasserted the block for the live session");
    return {publishLocked(Outcome::running(std::move(updated))), Effects{.flush = *repaired}};
  }

  auto hosts = readHostsLocked();
  if (!hosts) return stuckLocked(hosts.error(), "launch: reading the hosts file");
  bool clearedOrphan = false;
  if (HostsRegions::contains(*hosts)) {
    if (auto removed = removeBlockLocked(*hosts); !removed) {
      return stuckLocked(removed.error(), "launch: clearing an orphaned block");
    }
    log_.notice("launch: cleared an orphaned block");
    clearedOrphan = true;
  }
  publishLocked(Outcome::idle());
  if (auto scheduled = evaluateSchedulesLocked()) return std::move(*scheduled);
  return {Outcome::idle(), Effects{.flush = clearedOrphan}};
}

bool SessionCoordinator::whileSettled(const std::function<void(bool hasSession)>& body) {
  std::lock_guard lock(BlockController::mutationLock());
  if (stuckError_ || isTearingDown_) return false;
  body(session_.has_value());
  return true;
}

// ---- Schedules

bool SessionCoordinator::hasSchedules() const { return schedules_.exists(); }

std::optional<std::string> SessionCoordinator::scheduleFailureReason() const {
  std::lock_guard lock(scheduleFailureMutex_);
  return scheduleFailure_;
}

void SessionCoordinator::setScheduleFailure(std::optional<std::string> reason) {
  std::lock_guard lock(scheduleFailureMutex_);
  scheduleFailure_ = std::move(reason);
}

ScheduleCalendar SessionCoordinator::makeCalendar() const {
  return calendar_ ? calendar_() : ScheduleCalendar::systemCurrent();
}

ScheduleSet SessionCoordinator::loadSchedulesLocked() {
  assertLocked();
  auto loaded = schedules_.load();
  if (auto* set = std::get_if<ScheduleSet>(&loaded)) {
    setScheduleFailure(std::nullopt);
    return std::move(*set);
  }
  if (auto* quarantined = std::get_if<ScheduleStore::Quarantined>(&loaded)) {
    setScheduleFailure(quarantined->reason);
  } else {
    setScheduleFailure(std::nullopt);
  }
  return ScheduleSet{};
}

ScheduleSet SessionCoordinator::scheduleSet() {
  std::lock_guard lock(BlockController::mutationLock());
  return loadSchedulesLocked();
}

Result<std::vector<Schedule>> SessionCoordinator::saveSchedules(const std::vector<Schedule>& list) {
  std::lock_guard lock(BlockController::mutationLock());
  ScheduleSet current = loadSchedulesLocked();
  auto next = current.replacing(list, clock_.wallClock());
  if (!next) return std::unexpected(next.error());
  if (auto saved = schedules_.save(*next); !saved) return std::unexpected(saved.error());
  setScheduleFailure(std::nullopt);
  log_.notice(cat("schedules saved: ", static_cast<std::int64_t>(next->schedules.size())));
  return std::move(next->schedules);
}

void SessionCoordinator::persistLocked(const ScheduleSet& set, std::string_view why) {
  assertLocked();
  if (auto saved = schedules_.save(set); !saved) {
    log_.fault(cat("could not record ", why, ": ", describe(saved.error())));
  }
}

ScheduleDecision SessionCoordinator::recordScheduleOutcomesLocked(bool hasSession) {
  assertLocked();
  ScheduleSet set = loadSchedulesLocked();
  if (set.isEmpty()) return ScheduleDecision::nothingToDo();
  Date now = clock_.wallClock();
  ScheduleCalendar calendar = makeCalendar();
  ScheduleDecision decision = evaluator_.decide(set, now, calendar, hasSession);

  bool changed = false;
  for (const auto& [id, reason] : decision.skipped) {
    log_.notice(cat("schedule ", id.string(), " skipped: ", caseName(reason)));
    std::optional<ScheduleRun::Outcome> outcome;
    switch (reason) {
      case ScheduleSkipReason::paused:
        outcome = ScheduleRun::Outcome::paused;
        break;
      case ScheduleSkipReason::windowNearlyOver:
        outcome = ScheduleRun::Outcome::windowNearlyOver;
        break;
      case ScheduleSkipReason::sessionRunning:
        outcome = ScheduleRun::Outcome::sessionRunning;
        break;
      case ScheduleSkipReason::alreadyFired:
        break;
    }
    if (!outcome) continue;
    auto schedule =
        std::find_if(set.schedules.begin(), set.schedules.end(), [&](const Schedule& s) { return s.id == id; });
    if (schedule == set.schedules.end()) continue;
    auto occurrence = schedule->occurrence(now, calendar);
    if (!occurrence) continue;
    changed |= set.record(ScheduleRun(*occurrence, *outcome), id);
  }
  if (changed) persistLocked(set, "a schedule outcome");
  return decision;
}

std::optional<std::pair<SessionCoordinator::Outcome, SessionCoordinator::Effects>>
SessionCoordinator::evaluateSchedulesLocked() {
  ScheduleDecision decision = recordScheduleOutcomesLocked(session_.has_value());
  if (!decision.start) return std::nullopt;
  return startScheduledSessionLocked(*decision.start);
}

std::optional<std::pair<SessionCoordinator::Outcome, SessionCoordinator::Effects>>
SessionCoordinator::startScheduledSessionLocked(const ScheduleDecision::Start& start) {
  ScheduleSet set = loadSchedulesLocked();
  const Uuid& scheduleID = start.schedule.id;
  auto started = startLocked(start.schedule.domains, start.duration, &start.schedule);
  if (!started) {
    log_.error(cat("schedule ", scheduleID.string(), " could not start: ", describe(started.error())));
    return std::nullopt;
  }
  auto& [state, effects] = *started;
  log_.notice(cat("schedule ", scheduleID.string(), " started session ", state.id.string(), ", ",
                  wholeSeconds(start.duration), "s of its window left"));
  set.lastFired[scheduleID] = start.occurrence;
  set.record(ScheduleRun(start.occurrence, ScheduleRun::Outcome::ran, start.duration), scheduleID);
  persistLocked(set, "that a schedule fired");
  return std::pair{Outcome::running(std::move(state)), effects};
}

}  // namespace hushwall
