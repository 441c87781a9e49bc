// The daemon service's own decisions: the request handler's answer to a failed start, the ticker's
// arming, and the handover to a replaced executable. The request handler runs on a real coordinator
// over files in a temporary directory (see CoordinatorHarness); undecodable requests and the engine's
// refusals reach the app as their DaemonError end to end.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "CoordinatorHarness.hpp"
#include "DaemonService/DaemonRequestHandler.hpp"
#include "DaemonService/FilterRulesHandler.hpp"
#include "DaemonService/Handover.hpp"
#include "DaemonService/ReplacementCheck.hpp"
#include "DaemonService/SessionTicker.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using R = HandoverPolicy::Replacement;
using Outcome = SessionCoordinator::Outcome;
using Arming = SessionTicker::Arming;
using Hooks = SessionTicker::Hooks;

// An engine error that is no DaemonError reaches the app as the method's fallback code, is logged once with its
// cause, and still counts as activity. That it changes nothing is the coordinator's table's.
TEST(ServiceHandlersTest, AFailedStartGetsTheFallbackCodeAndCountsAsActivity) {
  testing::CapturingLogSink logs;
  testing::CoordinatorHarness harness;
  Date now{1000};
  DaemonRequestHandler handler{
      *harness.coordinator, BlockController(HostsFile(harness.hostsPath)), {.now = [&] { return now; }}};
  now = now + 7;
  harness.failSave = true;
  auto reply = handler.startSession(R"({"domains":["example.com"],"duration":600})");
  EXPECT_EQ(reply ? DaemonError{} : reply.error(), DaemonError::hostsWriteFailed);
  EXPECT_EQ(handler.sinceLastRequest(), 0);
  EXPECT_EQ(logs.messages("requests"),
            std::vector<std::string>{"startSession failed: could not rename the temporary file over " +
                                     harness.stateDirectory + "/session.json: Read-only file system"});
}

// The filter's last report is kept, up to the size limit; a larger or an undecodable one is logged and dropped.
TEST(ServiceHandlersTest, TheLastFilterReportIsKeptAndAnOversizedOrUndecodableOneDropped) {
  testing::CapturingLogSink logs;
  testing::CoordinatorHarness harness;
  FilterRulesHandler handler(*harness.coordinator, [] { return Date{0}; });
  auto ofSize = [](std::size_t size) {
    FilterReport report;
    report.detail = "";
    report.detail = std::string(size - report.encoded().size(), 'x');
    return report.encoded();
  };
  for (std::size_t size : {FilterReport::maxEncodedSize, FilterReport::maxEncodedSize + 1})
    handler.report(ofSize(size));
  handler.report("{]");
  EXPECT_EQ(handler.status().value_or(FilterStatus{}).report, FilterReport::decode(ofSize(4096)).value());
  EXPECT_EQ(logs.count("filter report refused: 4097 bytes, oversized or undecodable"), 1u);
  EXPECT_EQ(logs.count("filter report refused: 2 bytes, oversized or undecodable"), 1u);
}

Outcome runningWith(double remaining) {
  SessionState state;
  state.totalDuration = 600;
  state.consumed = 600 - remaining;
  return Outcome::running(state);
}

// After a tick on a 15 s interval: the next one's delay and leeway, and whether onTick and onIdle run.
TEST(SessionTickerDecisionTest, ArmingAndHooksFollowTheOutcome) {
  // clang-format off
  const struct { const char* name; Outcome outcome; Arming arming; Hooks hooks; } cases[] = {
      {"40 s left", runningWith(40), {15, 5}, {true, false}},
      {"10 s left: lands on the end", runningWith(10), {10, 0}, {false, false}},
      {"exactly one interval left", runningWith(15), {15, 0}, {false, false}},
      {"overdrawn counts as zero", runningWith(-3), {0, 0}, {false, false}},
      {"not a number counts as zero", runningWith(std::numeric_limits<double>::quiet_NaN()), {0, 0}, {false, false}},
      {"ended", Outcome::ended(SessionState{}), {15, 5}, {true, false}},
      {"stuck", Outcome::stuck(DaemonError::hostsWriteFailed), {15, 5}, {false, false}},
      {"idle", Outcome::idle(), {15, 5}, {true, true}},
  };
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(std::pair(Arming::after(c.outcome, 15), Hooks::after(c.outcome, 15)), std::pair(c.arming, c.hooks))
        << c.name;
}

// The operations a handover asks for, scripted.
struct Script {
  R replacement = R::validated;
  std::vector<double> since = {30};  // successive answers; the last repeats
  bool servable = true, stuck = false, settled = true, hasSession = false;
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
      {"request 4.9 s ago", {.since = {4.9}}, Handover::Result::stays, "replacement servable "},
      {"request 5 s ago", {.since = {5}}, Handover::Result::retired, guarded + "retire false/true"},
      {"unservable: no waiting", {.since = {0.1}, .servable = false}, Handover::Result::retired, guarded + "retire false/false"},
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
        .whileSettled = [&](const auto& body) { return calls += "settled ", s.settled && (body(s.hasSession), true); },
        .retire = [&](bool session, bool servable) { calls += cat("retire ", session, "/", servable); }};
    EXPECT_EQ(handover.attempt(), result);
    EXPECT_EQ(calls, expected);
  }
}

// This test binary is stamped as the daemon, so a copy of it is a genuine replacement. The end-to-end runs see the
// launched file, an unstamped replacement and a stamped one, each judged and logged once, word for word, and the
// self-check passing; here a missing file, and a replacement examined afresh after a refused one. A failing
// self-check only spares a daemon no client can reach its wait for a quiet moment, which comes anyway.
TEST(ReplacementCheckTest, TellsAMissingFileAndExaminesEachNewReplacement) {
  testing::TemporaryDirectory directory;
  const std::string path = directory.file("hushwalld");  // launched from this binary, and absent at first
  ReplacementCheck subject(path, std::string(CodeSigningRequirement::forDaemon), CodeRequirement::Owner::processUser,
                           ReplacementCheck::identity("/proc/self/exe").value());
  const char* names[] = {"sameFile", "missing", "unvalidated", "validated"};
  std::string seen;
  for (const char* file : {"", "/usr/bin/true", "/proc/self/exe"}) {
    // A new file renamed over the old one, as an update does: never the same inode.
    if (*file != 0 && fs::copy_file(file, path + ".next")) fs::rename(path + ".next", path);
    seen += cat(names[static_cast<int>(subject.replacement())], " ");
  }
  EXPECT_EQ(seen, "missing unvalidated validated ");
}

}  // namespace
}  // namespace hushwall
