#include "DaemonCore/DNSCache.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/CapturingLogSink.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

// Shell scripts stand in for the two tools, each noting its name and arguments in "calls".
TEST(DNSCache, ProblemsAreLoggedAndNeverStopTheOtherTool) {
  const std::pair<std::string, std::string> rows[] = {
      {"exit 0", ""}, {"-", " failed: posix_spawn: No such file or directory"}, {"exit 1", " exited 1"}};
  for (const auto& [body, error] : rows) {
    SCOPED_TRACE(body);
    testing::TemporaryDirectory dir;
    auto tool = [&](const std::string& name, const std::string& script) {
      testing::writeFile(dir.file(name),
                         "#!/bin/sh\necho \"" + name + " $*\" >> '" + dir.file("calls") + "'\n" + script + "\n", 0755);
      return dir.file(name);
    };
    const std::string resolvectl = body == "-" ? dir.file("absent") : tool("resolvectl", body);
    testing::CapturingLogSink logs;
    DNSCache(resolvectl, tool("killall", "")).flush();
    std::vector<LogRecord> expected{{LogLevel::notice, "org.hushwall.daemon", "dns", "flushed DNS cache"}};
    if (!error.empty())
      expected.insert(expected.begin(), {LogLevel::error, "org.hushwall.daemon", "dns", resolvectl + error});
    EXPECT_EQ(logs.records(), expected);
    EXPECT_EQ(testing::readFile(dir.file("calls")),
              (body == "-" ? "" : "resolvectl flush-caches\n") + std::string("killall -HUP dnsmasq\n"));
  }
}

}  // namespace
}  // namespace hushwall
