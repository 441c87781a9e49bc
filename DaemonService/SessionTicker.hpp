// Drives the session engine in time: one one-shot timer on its own serial
// queue; each firing asks the coordinator to tick, arms the next timer, and
// then, depending on the outcome, runs the replacement check (`onTick`) and
// the idle exit (`onIdle`). One tick every `interval`, except that the last
// tick of a session is timed, with zero leeway, to land on its end.
//
// Thread-safety: `start` may be called from any thread; everything else runs
// on `queue`, so ticks never overlap and the timer needs no lock. The queue
// must outlive the ticker; a destroyed ticker's timer does nothing.
#pragma once

#include <functional>
#include <memory>

#include "DaemonCore/SessionCoordinator.hpp"
#include "Platform/SerialQueue.hpp"

namespace hushwall {

class SessionTicker : public std::enable_shared_from_this<SessionTicker> {
 public:
  // When the next tick comes, after a tick with `outcome`. Seconds.
  struct Arming {
    double delay = 0;
    double leeway = 0;
    friend bool operator==(const Arming&, const Arming&) = default;
    [[nodiscard]] static Arming after(const SessionCoordinator::Outcome& outcome, double interval);
  };

  // Which hooks run after a tick with `outcome`.
  struct Hooks {
    bool runOnTick = false;
    bool runOnIdle = false;
    friend bool operator==(const Hooks&, const Hooks&) = default;
    [[nodiscard]] static Hooks after(const SessionCoordinator::Outcome& outcome, double interval);
  };

  [[nodiscard]] static std::shared_ptr<SessionTicker> make(std::function<SessionCoordinator::Outcome()> tick,
                                                           std::function<void()> onTick, std::function<void()> onIdle,
                                                           SerialQueue& queue, double interval);

  // Arms the first timer, one interval from now.
  void start();

 private:
  SessionTicker(std::function<SessionCoordinator::Outcome()> tick, std::function<void()> onTick,
                std::function<void()> onIdle, SerialQueue& queue, double interval);

  void schedule(double delay, double leeway);
  void fire();

  const std::function<SessionCoordinator::Outcome()> tick_;
  const std::function<void()> onTick_;
  const std::function<void()> onIdle_;
  SerialQueue& queue_;
  const double interval_;
  std::unique_ptr<SerialQueue::EventSource> timer_;  // queue only
};

}  // namespace hushwall
