#include "DaemonService/SessionTicker.hpp"

#include <chrono>
#include <utility>

#include "HushwallCore/TickCadence.hpp"

namespace hushwall {
namespace {

using Kind = SessionCoordinator::Outcome::Kind;

SerialQueue::Duration toDuration(double seconds) {
  // Negative and not-a-number delays count as zero.
  if (!(seconds > 0)) return SerialQueue::Duration::zero();
  return std::chrono::duration_cast<SerialQueue::Duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

SessionTicker::Arming SessionTicker::Arming::after(const SessionCoordinator::Outcome& outcome, double interval) {
  Arming regular{interval, TickCadence::leeway(interval)};
  if (outcome.kind != Kind::running || !outcome.state) return regular;
  double remaining = outcome.state->remaining();
  if (remaining <= interval) return Arming{remaining, 0};
  return regular;
}

SessionTicker::Hooks SessionTicker::Hooks::after(const SessionCoordinator::Outcome& outcome, double interval) {
  switch (outcome.kind) {
    case Kind::running:
      return Hooks{outcome.state && outcome.state->remaining() > interval, false};
    case Kind::ended:
      return Hooks{true, false};
    case Kind::stuck:
      return Hooks{false, false};
    case Kind::idle:
      return Hooks{true, true};
  }
  return Hooks{};
}

std::shared_ptr<SessionTicker> SessionTicker::make(std::function<SessionCoordinator::Outcome()> tick,
                                                   std::function<void()> onTick, std::function<void()> onIdle,
                                                   SerialQueue& queue, double interval) {
  return std::shared_ptr<SessionTicker>(
      new SessionTicker(std::move(tick), std::move(onTick), std::move(onIdle), queue, interval));
}

SessionTicker::SessionTicker(std::function<SessionCoordinator::Outcome()> tick, std::function<void()> onTick,
                             std::function<void()> onIdle, SerialQueue& queue, double interval)
    : tick_(std::move(tick)),
      onTick_(std::move(onTick)),
      onIdle_(std::move(onIdle)),
      queue_(queue),
      interval_(interval) {}

void SessionTicker::start() {
  queue_.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->schedule(self->interval_, TickCadence::leeway(self->interval_));
  });
}

void SessionTicker::schedule(double delay, double leeway) {
  auto timer =
      queue_.addTimer(toDuration(delay), SerialQueue::Duration::zero(), toDuration(leeway), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->fire();
      });
  timer_ = std::move(timer);  // cancels the one it replaces
}

void SessionTicker::fire() {
  SessionCoordinator::Outcome outcome = tick_();
  Arming next = Arming::after(outcome, interval_);
  schedule(next.delay, next.leeway);
  Hooks hooks = Hooks::after(outcome, interval_);
  if (hooks.runOnTick && onTick_) onTick_();
  if (hooks.runOnIdle && onIdle_) onIdle_();
}

}  // namespace hushwall
