// The daemon with nothing to do: it stays on an update that is not a daemon,
// saying so once, and exits after its idle minute with status zero.
#include <sys/wait.h>

#include "E2E.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall::testing {
namespace {

using IdleE2E = E2ETest;

TEST_F(IdleE2E, StaysOnAnUnstampedReplacementAndExitsWithStatusZeroAfterAMinuteIdle) {
  daemon.replaceWith("/usr/bin/true");
  auto status = daemon.waitForExit(120s);
  ASSERT_TRUE(status) << daemon.log();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  std::string log = daemon.log();
  EXPECT_EQ(daemon.logCount(cat("the file at ", daemon.installed,
                                " is not this daemon and does not satisfy our requirement (no identity: ")),
            1)
      << log;
  EXPECT_EQ(daemon.logCount("handing over"), 0);
  EXPECT_EQ(daemon.logCount("idle for 60s with no session — exiting; D-Bus activation starts us again on the next "
                            "message"),
            1);
  long longest = daemon.longestStay(false);
  EXPECT_GE(longest, 30) << log;
  EXPECT_LT(longest, 60) << log;
}

}  // namespace
}  // namespace hushwall::testing
