#include "DaemonService/Handover.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace hushwall {
namespace {

using Replacement = HandoverPolicy::Replacement;
using Result = Handover::Result;

// A handover whose six operations are scripted and recorded.
struct Script {
  Replacement replacement = Replacement::validated;
  bool servable = true;
  bool stuck = false;
  std::vector<double> since = {30};  // successive answers; the last repeats
  bool settled = true;
  bool hasSession = false;

  std::vector<std::string> calls = {};
  std::size_t sinceCalls = 0;

  Handover handover() {
    return Handover{
        .replacement =
            [this] {
              calls.push_back("replacement");
              return replacement;
            },
        .stillServable =
            [this] {
              calls.push_back("stillServable");
              return servable;
            },
        .isStuck = [this] { return stuck; },
        .sinceLastRequest = [this] { return since[std::min(sinceCalls++, since.size() - 1)]; },
        .whileSettled =
            [this](const std::function<void(bool)>& body) {
              calls.push_back("whileSettled");
              if (settled) body(hasSession);
              return settled;
            },
        .retire =
            [this](bool session, bool servable_) {
              calls.push_back(std::string("retire session=") + (session ? "true" : "false") +
                              " servable=" + (servable_ ? "true" : "false"));
            },
    };
  }
};

TEST(HandoverTest, RetiresOnlyAtAQuietSettledMomentWithAValidatedReplacement) {
  struct Case {
    const char* name;
    Script script;
    Result result;
    std::vector<std::string> calls = {};
  };
  const std::vector<Case> cases = {
      {"quiet, validated",
       {},
       Result::retired,
       {"replacement", "stillServable", "whileSettled", "retire session=false servable=true"}},
      {"mid-session",
       {.hasSession = true},
       Result::retired,
       {"replacement", "stillServable", "whileSettled", "retire session=true servable=true"}},
      {"same file", {.replacement = Replacement::sameFile}, Result::stays, {"replacement"}},
      {"missing", {.replacement = Replacement::missing}, Result::stays, {"replacement"}},
      {"unvalidated", {.replacement = Replacement::unvalidated}, Result::stays, {"replacement"}},
      {"stuck", {.stuck = true}, Result::stays, {"replacement", "stillServable"}},
      {"request 2 s ago", {.since = {2}}, Result::stays, {"replacement", "stillServable"}},
      {"unservable: no waiting",
       {.servable = false, .since = {0.1}},
       Result::retired,
       {"replacement", "stillServable", "whileSettled", "retire session=false servable=false"}},
      {"a request arrived meanwhile",
       {.since = {30, 0.2}},
       Result::deferredRequest,
       {"replacement", "stillServable", "whileSettled"}},
      {"teardown in flight",
       {.settled = false},
       Result::deferredUnsettled,
       {"replacement", "stillServable", "whileSettled"}},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.script.handover().attempt(), c.result);
    EXPECT_EQ(c.script.calls, c.calls);
  }
}

}  // namespace
}  // namespace hushwall
