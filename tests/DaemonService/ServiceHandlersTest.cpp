// The app's request handler on a real coordinator over files in a temporary
// directory, with a hand-moved wall clock. Undecodable requests and the
// engine's refusals reach the app as their DaemonError end to end.
#include <gtest/gtest.h>

#include "CoordinatorHarness.hpp"
#include "DaemonService/DaemonRequestHandler.hpp"
#include "support/CapturingLogSink.hpp"

namespace hushwall {
namespace {

// An engine error that is no DaemonError reaches the app as the method's fallback code, is logged once with its
// cause, changes nothing, and still counts as activity.
TEST(ServiceHandlersTest, AFailedStartGetsTheFallbackCodeChangesNothingAndCountsAsActivity) {
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
  EXPECT_EQ(handler.currentSession(), "");
  EXPECT_FALSE(harness.hostsHasBlock());
}

}  // namespace
}  // namespace hushwall
