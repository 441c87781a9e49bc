#include "DaemonService/Handover.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

using Replacement = HandoverPolicy::Replacement;
using Result = Handover::Result;

// A handover whose operations are scripted; the calls that matter are recorded in order.
struct Script {
  Replacement replacement = Replacement::validated;
  bool servable = true, stuck = false;
  std::vector<double> since = {30};  // successive answers; the last repeats
  bool settled = true, hasSession = false;
  std::string calls = {};

  template <class T>
  std::function<T()> recorded(const char* name, const T& value) {
    return [this, name, &value] { return calls += name, value; };
  }
  Handover handover() {
    return {.replacement = recorded("replacement ", replacement),
            .stillServable = recorded("stillServable ", servable),
            .isStuck = [this] { return stuck; },
            .sinceLastRequest = [this, n = std::size_t{0}]() mutable { return since[std::min(n++, since.size() - 1)]; },
            .whileSettled =
                [this](const std::function<void(bool)>& body) {
                  calls += "whileSettled ";
                  if (settled) body(hasSession);
                  return settled;
                },
            .retire =
                [this](bool session, bool stillServable) {
                  calls += cat("retire session=", session, " servable=", stillServable);
                }};
  }
};

TEST(HandoverTest, RetiresOnlyAtAQuietSettledMomentWithAValidatedReplacement) {
  const std::string guarded = "replacement stillServable whileSettled ";
  struct Case {
    const char* name;
    Script script;
    Result result;
    std::string calls;
  };
  const std::vector<Case> cases = {
      // clang-format off
      {"quiet, validated", {}, Result::retired, guarded + "retire session=false servable=true"},
      {"mid-session", {.hasSession = true}, Result::retired, guarded + "retire session=true servable=true"},
      {"same file", {.replacement = Replacement::sameFile}, Result::stays, "replacement "},
      {"missing", {.replacement = Replacement::missing}, Result::stays, "replacement "},
      {"unvalidated", {.replacement = Replacement::unvalidated}, Result::stays, "replacement "},
      {"stuck", {.stuck = true}, Result::stays, "replacement stillServable "},
      {"request 2 s ago", {.since = {2}}, Result::stays, "replacement stillServable "},
      {"unservable: no waiting", {.servable = false, .since = {0.1}}, Result::retired, guarded + "retire session=false servable=false"},
      {"a request arrived meanwhile", {.since = {30, 0.2}}, Result::deferredRequest, guarded},
      {"teardown in flight", {.settled = false}, Result::deferredUnsettled, guarded},
      // clang-format on
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.script.handover().attempt(), c.result);
    EXPECT_EQ(c.script.calls, c.calls);
  }
}

}  // namespace
}  // namespace hushwall
