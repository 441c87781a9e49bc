// The app's handlers on a real coordinator over files in a temporary
// directory, with a hand-moved wall clock.
#include <gtest/gtest.h>

#include "CoordinatorHarness.hpp"
#include "DaemonService/DaemonRequestHandler.hpp"
#include "DaemonService/FilterRulesHandler.hpp"
#include "support/CapturingLogSink.hpp"

namespace hushwall {
namespace {

class ServiceHandlersTest : public ::testing::Test {
 protected:
  testing::CapturingLogSink logs;
  testing::CoordinatorHarness harness;
  Date now{1000};
  FilterRulesHandler filter{*harness.coordinator, [this] { return now; }};
  DaemonRequestHandler handler{*harness.coordinator, BlockController(HostsFile(harness.hostsPath)),
                               DaemonRequestHandler::Environment{.now = [this] { return now; },
                                                                 .blockManagement = [] { return true; },
                                                                 .filterStatus = [this] { return filter.status(); }}};
};

// Engine errors that are not DaemonErrors reach the app as the method's fallback code, their description only the log.
TEST_F(ServiceHandlersTest, BadRequestsGetTheirErrorChangeNothingAndStillCountAsActivity) {
  const struct {
    bool failSave;
    std::string_view method, request;
    DaemonError error;
    std::string line;
  } cases[] = {
      // clang-format off
      {false, "start", R"({"domains":["example.com"]})", DaemonError::invalidDomain, "startSession: undecodable request: missing key \"duration\""},
      {false, "start", R"({"domains":["example.com"],"duration":59})", DaemonError::durationOutOfRange, "startSession refused: durationOutOfRange"},
      {false, "start", R"({"domains":["exa mple"],"duration":600})", DaemonError::invalidDomain, "startSession refused: invalidDomain"},
      {false, "schedules", "[{]", DaemonError::invalidSchedule, "saveSchedules: undecodable request: not valid JSON"},
      {true, "start", R"({"domains":["example.com"],"duration":600})", DaemonError::hostsWriteFailed, "startSession failed: "},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    now = now + 7;
    harness.store->failSave = c.failSave;
    auto before = logs.messages("requests").size();
    auto reply = c.method == "start" ? handler.startSession(c.request) : handler.saveSchedules(c.request);
    EXPECT_EQ(reply ? DaemonError{} : reply.error(), c.error);
    EXPECT_EQ(handler.sinceLastRequest(), 0);
    auto lines = logs.messages("requests");
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_TRUE(lines.back().starts_with(c.line)) << lines.back();
    EXPECT_EQ(handler.currentSession(), "");
    EXPECT_FALSE(harness.hostsHasBlock());
  }
}

}  // namespace
}  // namespace hushwall
