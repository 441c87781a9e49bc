// The app's request handler on a real coordinator over files in a temporary
// directory, with a hand-moved wall clock.
#include <gtest/gtest.h>

#include "CoordinatorHarness.hpp"
#include "DaemonService/DaemonRequestHandler.hpp"
#include "support/CapturingLogSink.hpp"

namespace hushwall {
namespace {

// A bad request gets its error, changes nothing, still counts as activity, and is logged once with
// its cause; engine errors that are not DaemonErrors reach the app as the method's fallback code.
TEST(ServiceHandlersTest, BadRequestsGetTheirErrorChangeNothingAndStillCountAsActivity) {
  testing::CapturingLogSink logs;
  testing::CoordinatorHarness harness;
  Date now{1000};
  DaemonRequestHandler handler{
      *harness.coordinator, BlockController(HostsFile(harness.hostsPath)), {.now = [&] { return now; }}};
  // clang-format off
  const struct { bool failSave; std::string_view method, request; DaemonError error; std::string line; } cases[] = {
      {false, "start", R"({"domains":["example.com"]})", DaemonError::invalidDomain, "startSession: undecodable request: missing key \"duration\""},
      {false, "start", R"({"domains":["example.com"],"duration":59})", DaemonError::durationOutOfRange, "startSession refused: durationOutOfRange"},
      {false, "start", R"({"domains":["exa mple"],"duration":600})", DaemonError::invalidDomain, "startSession refused: invalidDomain"},
      {false, "schedules", "[{]", DaemonError::invalidSchedule, "saveSchedules: undecodable request: not valid JSON"},
      {true, "start", R"({"domains":["example.com"],"duration":600})", DaemonError::hostsWriteFailed, "startSession failed: "},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    now = now + 7;
    harness.failSave = c.failSave;
    logs.clear();
    auto reply = c.method == "start" ? handler.startSession(c.request) : handler.saveSchedules(c.request);
    EXPECT_EQ(reply ? DaemonError{} : reply.error(), c.error);
    EXPECT_EQ(handler.sinceLastRequest(), 0);
    ASSERT_EQ(logs.messages("requests").size(), 1u);
    EXPECT_TRUE(logs.messages("requests")[0].starts_with(c.line)) << logs.messages("requests")[0];
    EXPECT_EQ(handler.currentSession(), "");
    EXPECT_FALSE(harness.hostsHasBlock());
  }
}

}  // namespace
}  // namespace hushwall
