#include "HushwallCore/FilterApplyState.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

using Next = FilterApplyState::Next;

std::string render(Next next) {
  switch (next) {
    case Next::idle:
      return "idle";
    case Next::applyAgain:
      return "apply again";
    case Next::stopped:
      return "stopped";
  }
  return "?";
}

using Event = std::function<std::string(FilterApplyState&)>;

const Event start = [](FilterApplyState& state) { return std::string(state.start() ? "apply" : "wait"); };
const Event change = [](FilterApplyState& state) {
  return std::string(state.configurationChanged() ? "apply" : "wait");
};
const Event finished = [](FilterApplyState& state) { return render(state.applyFinished()); };
const Event stop = [](FilterApplyState& state) {
  state.stop();
  return std::string("-");
};

struct Step {
  Event event;
  std::string expected;
};

// Each scenario also counts the applies running at once, which must never
// exceed one: "apply" begins one, "apply again" ends one and begins the next,
// "idle" and "stopped" end one.
TEST(FilterApplyStateTest, Transitions) {
  struct Scenario {
    const char* name;
    std::vector<Step> steps;
  };
  const Scenario scenarios[] = {
      {"one apply, then idle", {{start, "apply"}, {finished, "idle"}}},
      {"a change while idle applies at once", {{start, "apply"}, {finished, "idle"}, {change, "apply"}, {finished, "idle"}}},
      {"three changes during an apply give one more",
       {{start, "apply"}, {change, "wait"}, {change, "wait"}, {change, "wait"}, {finished, "apply again"},
        {finished, "idle"}}},
      {"a change during the repeat gives another",
       {{start, "apply"}, {change, "wait"}, {finished, "apply again"}, {change, "wait"}, {finished, "apply again"},
        {finished, "idle"}}},
      {"stopped: changes are ignored", {{start, "apply"}, {finished, "idle"}, {stop, "-"}, {change, "wait"}}},
      {"stop during an apply ends it stopped, pending change or not",
       {{start, "apply"}, {change, "wait"}, {stop, "-"}, {finished, "stopped"}, {change, "wait"}}},
      {"start after stop applies again",
       {{start, "apply"}, {stop, "-"}, {finished, "stopped"}, {start, "apply"}, {finished, "idle"}}},
      {"start while the stopped apply still runs waits for it",
       {{start, "apply"}, {stop, "-"}, {start, "wait"}, {finished, "apply again"}, {finished, "idle"}}},
      {"a change before any start applies", {{change, "apply"}, {change, "wait"}, {finished, "apply again"}}},
  };
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    FilterApplyState state;
    int running = 0;
    for (std::size_t index = 0; index < scenario.steps.size(); ++index) {
      SCOPED_TRACE(cat("step ", index + 1));
      std::string result = scenario.steps[index].event(state);
      EXPECT_EQ(result, scenario.steps[index].expected);
      if (result == "apply") ++running;
      if (result == "idle" || result == "stopped") --running;
      EXPECT_LE(running, 1) << "two applies overlap";
      EXPECT_EQ(state.isApplying(), running == 1);
    }
  }
}

}  // namespace
}  // namespace hushwall
