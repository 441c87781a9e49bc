// The daemon with nothing to do: it stays on an update that is not a daemon,
// saying so once, and exits after its idle minute with status zero.
#include "E2E.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall::testing {
namespace {

using IdleE2E = E2ETest;

TEST_F(IdleE2E, StaysOnAnUnstampedReplacementAndExitsWithStatusZeroAfterAMinuteIdle) {
  daemon.replaceWith("/usr/bin/true");
  ASSERT_EQ(daemon.waitForExit(120s), 0) << daemon.log();  // exited with status zero
  // clang-format off
  const std::pair<std::string, int> lines[] = {
      {cat("the file at ", daemon.installed, " is not this daemon and does not satisfy our requirement (no identity: "), 1},
      {"handing over", 0},
      {"idle for 60s with no session — exiting; D-Bus activation starts us again on the next message", 1}};
  // clang-format on
  for (const auto& [line, count] : lines) EXPECT_EQ(daemon.logCount(line), count) << line << daemon.log();
  long longest = daemon.longestStay(false);
  EXPECT_GE(longest, 30) << daemon.log();
  EXPECT_LT(longest, 60) << daemon.log();
}

}  // namespace
}  // namespace hushwall::testing
