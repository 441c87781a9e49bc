#include "Platform/RulesFollowing.hpp"

#include <chrono>
#include <optional>

#include "Platform/ServiceAddress.hpp"

namespace hushwall {

namespace {
constexpr std::chrono::seconds callTimeout{10};

std::expected<std::string, BusError> callRules(BusConnection& bus, std::string_view method,
                                               std::optional<std::string_view> payload,
                                               RulesFollowing::Activation activation) {
  return bus.call(std::string(rulesService.busName), std::string(rulesService.objectPath),
                  std::string(rulesService.interface), std::string(method), payload, callTimeout,
                  activation == RulesFollowing::Activation::start);
}
}  // namespace

struct RulesFollowing::State {
  BusConnection& bus;
  std::optional<FilterFollower> follower;  // built once the state has its address
  // Both used only on the queue.
  SerialQueue::WorkItem retry;
  std::optional<BusConnection::Subscription> doorbell;
  std::optional<BusConnection::Subscription> owners;
  std::optional<std::chrono::steady_clock::time_point> awaySince;  // the first failed ask of a run
  bool lapsed = false;
};

RulesFollowing::RulesFollowing(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::expected<std::unique_ptr<RulesFollowing>, BusError> RulesFollowing::start(BusConnection& bus, Output output,
                                                                               std::string filterVersion,
                                                                               Activation activation) {
  auto state = std::make_unique<State>(State{bus, std::nullopt, {}, std::nullopt, std::nullopt, std::nullopt, false});
  State* s = state.get();
  SerialQueue& queue = bus.queue();
  s->follower.emplace(
      FilterFollower::Channel{
          [s, activation] { return callRules(s->bus, RulesService::currentRules, std::nullopt, activation); },
          [s, activation](const std::string& bytes) -> std::expected<void, BusError> {
            auto sent = callRules(s->bus, RulesService::report, bytes, activation);
            if (!sent) return std::unexpected(sent.error());
            return {};
          }},
      FilterFollower::Output{std::move(output.apply),
                             [s, &queue](double seconds) {
                               s->retry.cancel();
                               s->retry = queue.asyncAfter(std::chrono::duration_cast<SerialQueue::Duration>(
                                                               std::chrono::duration<double>(seconds)),
                                                           [s] { s->follower->retryFired(); });
                             },
                             std::move(output.note)},
      std::move(filterVersion));

  auto doorbell = bus.subscribe(std::string(rulesService.busName), std::string(rulesService.objectPath),
                                std::string(rulesService.interface), std::string(rulesChangedSignal),
                                [s](std::string_view) { s->follower->rang(); });
  if (!doorbell) return std::unexpected(doorbell.error());
  auto owners = bus.subscribe("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameOwnerChanged", [s](std::string_view name) {
                                if (name == rulesService.busName) s->follower->serviceChanged();
                              });
  if (!owners) return std::unexpected(owners.error());
  queue.sync([&] {
    s->doorbell.emplace(std::move(*doorbell));
    s->owners.emplace(std::move(*owners));
  });
  queue.async([s] { s->follower->start(); });
  return std::unique_ptr<RulesFollowing>(new RulesFollowing(std::move(state)));
}

RulesFollowing::~RulesFollowing() {
  State* s = state_.get();
  // On the queue, so that no handler or retry can reach the follower after this.
  s->bus.queue().sync([s] {
    s->follower->stop();
    s->retry.cancel();
    s->doorbell.reset();
    s->owners.reset();
  });
}

bool RulesFollowing::lapseIfAway(std::chrono::steady_clock::time_point now, std::chrono::seconds hold) {
  bool lapsedNow = false;
  State* s = state_.get();
  s->bus.queue().sync([&] {
    if (s->follower->sync().consecutiveFailures() == 0) {
      s->awaySince.reset();
      s->lapsed = false;
      return;
    }
    if (!s->awaySince) s->awaySince = now;
    if (!s->lapsed && now - *s->awaySince >= hold && !s->follower->sync().hosts().empty()) {
      s->lapsed = lapsedNow = true;
      s->follower->lapse();
    }
  });
  return lapsedNow;
}

void RulesFollowing::inspect(const std::function<void(const FilterFollower&)>& look) const {
  state_->bus.queue().sync([&] { look(*state_->follower); });
}

}  // namespace hushwall
