// Follows the daemon's rules channel on a bus connection, the one way both the
// filter and its command-line client do it: ask for the rules, ask again when
// the RulesChanged doorbell rings or the rules service changes hands, back off
// after failures on a timer of the connection's queue, and report every apply.
//
// Thread-safety: every output call runs on the connection's queue. `inspect`
// and destruction may be called from any thread but the queue's.
#pragma once

#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "Platform/BusConnection.hpp"
#include "Platform/FilterFollower.hpp"

namespace hushwall {

class RulesFollowing {
 public:
  struct Output {
    decltype(FilterFollower::Output::apply) apply;
    decltype(FilterFollower::Output::note) note;
  };

  // Whether an ask starts a daemon that is not running (D-Bus activation).
  // The filter does not: it would keep an idle daemon from ever exiting, and a
  // daemon with a session is started by systemd anyway; it asks when it appears.
  enum class Activation { start, wait };

  // Subscribes to the doorbell and to the service's owner changes, then asks
  // for the first rules on the queue. Fails, subscribing nothing, when the bus
  // refuses a match.
  [[nodiscard]] static std::expected<std::unique_ptr<RulesFollowing>, BusError> start(
      BusConnection& bus, Output output, std::string filterVersion, Activation activation = Activation::start);
  // Stops the follower and drops the subscriptions and the retry, on the queue:
  // no output call happens after it returns.
  ~RulesFollowing();
  RulesFollowing(const RulesFollowing&) = delete;
  RulesFollowing& operator=(const RulesFollowing&) = delete;

  // Lets the rules in force lapse once every ask has failed for `hold`; called
  // from a periodic tick. Returns whether they lapsed on this call.
  bool lapseIfAway(std::chrono::steady_clock::time_point now, std::chrono::seconds hold);

  // Runs `look` on the queue with the follower and waits for it.
  void inspect(const std::function<void(const FilterFollower&)>& look) const;

 private:
  struct State;
  explicit RulesFollowing(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace hushwall
