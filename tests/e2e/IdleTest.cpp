// The daemon with nothing to do exits after its idle minute, with status zero.
#include <sys/wait.h>

#include "E2ETest.hpp"

namespace hushwall::testing {
namespace {

using IdleE2E = E2ETest;

TEST_F(IdleE2E, ExitsWithStatusZeroAfterAMinuteIdle) {
  auto status = daemon.waitForExit(120s);
  ASSERT_TRUE(status) << daemon.log();
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  std::string log = daemon.log();
  EXPECT_NE(log.find("idle for 60s with no session — exiting; D-Bus activation starts us again on the next message"),
            std::string::npos)
      << log;
  long stayed = longestStayingUp(log, false);
  EXPECT_GE(stayed, 30) << log;
  EXPECT_LT(stayed, 60) << log;
}

}  // namespace
}  // namespace hushwall::testing
