#include "DaemonService/Handover.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

using R = HandoverPolicy::Replacement;

// The operations a handover asks for, scripted.
struct Script {
  R replacement = R::validated;
  bool servable = true, stuck = false;
  std::vector<double> since = {30};  // successive answers; the last repeats
  bool settled = true, hasSession = false;
};

// Retires only at a quiet, settled moment with a validated replacement. The calls that matter, in
// order; "retire" with whether a session runs / whether the daemon is still servable.
TEST(HandoverTest, RetiresOnlyAtAQuietSettledMomentWithAValidatedReplacement) {
  const std::string guarded = "replacement servable settled ";
  // clang-format off
  const struct { const char* name; Script script; Handover::Result result; std::string calls; } cases[] = {
      {"quiet, validated", {}, Handover::Result::retired, guarded + "retire false/true"},
      {"mid-session", {.hasSession = true}, Handover::Result::retired, guarded + "retire true/true"},
      {"same file", {.replacement = R::sameFile}, Handover::Result::stays, "replacement "},
      {"missing", {.replacement = R::missing}, Handover::Result::stays, "replacement "},
      {"unvalidated", {.replacement = R::unvalidated}, Handover::Result::stays, "replacement "},
      {"stuck", {.stuck = true}, Handover::Result::stays, "replacement servable "},
      {"request 2 s ago", {.since = {2}}, Handover::Result::stays, "replacement servable "},
      {"request 4.9 s ago", {.since = {4.9}}, Handover::Result::stays, "replacement servable "},
      {"request 5 s ago", {.since = {5}}, Handover::Result::retired, guarded + "retire false/true"},
      {"unservable: no waiting", {.servable = false, .since = {0.1}}, Handover::Result::retired, guarded + "retire false/false"},
      {"a request arrived meanwhile", {.since = {30, 0.2}}, Handover::Result::deferredRequest, guarded},
      {"teardown in flight", {.settled = false}, Handover::Result::deferredUnsettled, guarded},
  };
  // clang-format on
  for (const auto& [name, s, result, expected] : cases) {
    SCOPED_TRACE(name);
    std::string calls;
    std::size_t asked = 0;
    const Handover handover{
        .replacement = [&] { return calls += "replacement ", s.replacement; },
        .stillServable = [&] { return calls += "servable ", s.servable; },
        .isStuck = [&] { return s.stuck; },
        .sinceLastRequest = [&] { return s.since[std::min(asked++, s.since.size() - 1)]; },
        .whileSettled =
            [&](const std::function<void(bool)>& body) {
              return calls += "settled ", s.settled && (body(s.hasSession), true);
            },
        .retire = [&](bool session, bool servable) { calls += cat("retire ", session, "/", servable); }};
    EXPECT_EQ(handover.attempt(), result);
    EXPECT_EQ(calls, expected);
  }
}

}  // namespace
}  // namespace hushwall
