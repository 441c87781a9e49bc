#include "DaemonCore/DNSCache.hpp"

#include <gtest/gtest.h>

#include "support/CapturingLogSink.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

// Both tools run in order on success, as the end-to-end session sees; here resolvectl is missing and killall, a
// script noting its arguments, fails: each problem is logged and neither stops the other tool or the flush.
TEST(DNSCache, ProblemsAreLoggedAndNeverStopTheOtherTool) {
  testing::TemporaryDirectory dir;
  const std::string resolvectl = dir.file("absent"), killall = dir.file("killall");
  testing::writeFile(killall, "#!/bin/sh\necho \"$*\" > '" + dir.file("calls") + "'\nexit 3\n", 0755);
  testing::CapturingLogSink logs;
  DNSCache(resolvectl, killall).flush();
  EXPECT_EQ(logs.messages(), (std::vector<std::string>{resolvectl + " failed: posix_spawn: No such file or directory",
                                                       killall + " exited 3", "flushed DNS cache"}));
  EXPECT_EQ(testing::readFile(dir.file("calls")), "-HUP dnsmasq\n");
}

}  // namespace
}  // namespace hushwall
