// The app's and the filter's handlers on a real coordinator over files in a
// temporary directory, with a hand-moved wall clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "CoordinatorHarness.hpp"
#include "DaemonService/BuildInfo.hpp"
#include "DaemonService/DaemonRequestHandler.hpp"
#include "DaemonService/FilterRulesHandler.hpp"
#include "HushwallCore/FilterRuleSet.hpp"
#include "HushwallCore/Schedule.hpp"
#include "HushwallCore/ScheduleSet.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ScheduleFixtures.hpp"

namespace hushwall {
namespace {

class ServiceHandlersTest : public ::testing::Test {
 protected:
  DaemonRequestHandler makeHandler() {
    return DaemonRequestHandler(*harness.coordinator, BlockController(HostsFile(harness.hostsPath)),
                                DaemonRequestHandler::Environment{.now = [this] { return now; },
                                                                  .blockManagement = [this] { return management; },
                                                                  .filterStatus = [this] { return filter.status(); }});
  }

  testing::CapturingLogSink logs;
  testing::CoordinatorHarness harness;
  Date now{1000};
  bool management = true;
  FilterRulesHandler filter{*harness.coordinator, [this] { return now; }};
};

TEST_F(ServiceHandlersTest, BadRequestsGetTheirErrorChangeNothingAndStillCountAsActivity) {
  auto handler = makeHandler();
  struct Case {
    const char* name;
    std::function<DaemonRequestHandler::Reply()> call;
    DaemonError error;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"start without duration", [&] { return handler.startSession(R"({"domains":["example.com"]})"); },
       DaemonError::invalidDomain, "startSession: undecodable request: missing key \"duration\""},
      {"start, too short", [&] { return handler.startSession(R"({"domains":["example.com"],"duration":59})"); },
       DaemonError::durationOutOfRange, "startSession refused: durationOutOfRange"},
      {"start, bad domain", [&] { return handler.startSession(R"({"domains":["exa mple"],"duration":600})"); },
       DaemonError::invalidDomain, "startSession refused: invalidDomain"},
      {"schedules, not JSON", [&] { return handler.saveSchedules("[{]"); }, DaemonError::invalidSchedule,
       "saveSchedules: undecodable request: not valid JSON"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    now = now + 7;
    std::size_t lines = logs.count(c.line);
    auto reply = c.call();
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error(), c.error);
    EXPECT_EQ(handler.sinceLastRequest(), 0);
    EXPECT_EQ(logs.count(c.line), lines + 1);
    EXPECT_EQ(handler.currentSession(), "");
    EXPECT_FALSE(harness.hostsHasBlock());
  }
}

// Engine errors that are not DaemonErrors reach the app as the method's fallback code, their description only the log.
TEST_F(ServiceHandlersTest, FileErrorsBecomeTheFallbackCode) {
  auto handler = makeHandler();
  harness.store->failSave = true;
  auto started = handler.startSession(R"({"domains":["example.com"],"duration":600})");
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error(), DaemonError::hostsWriteFailed);
  auto lines = logs.messages("requests");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("startSession failed: ")) << lines[0];
  EXPECT_EQ(handler.currentSession(), "");
  EXPECT_FALSE(harness.hostsHasBlock());
}

}  // namespace
}  // namespace hushwall
