#include "DaemonCore/DNSCache.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/CapturingLogSink.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::CapturingLogSink;
using testing::TemporaryDirectory;

// Shell scripts standing in for the two tools; each appends its name and
// arguments to `calls`, then runs `body`.
struct StandIns {
  TemporaryDirectory dir;
  std::string calls = dir.file("calls");

  std::string tool(const std::string& name, const std::string& body = "") {
    testing::writeFile(dir.file(name), "#!/bin/sh\necho \"" + name + " $*\" >> '" + calls + "'\n" + body + "\n", 0755);
    return dir.file(name);
  }
  [[nodiscard]] std::string ran() const { return ::access(calls.c_str(), F_OK) == 0 ? testing::readFile(calls) : ""; }
};

TEST(DNSCache, ProblemsAreLoggedAndNeverStopTheOtherTool) {
  struct Row {
    const char* name;
    std::string resolvectlBody;  // "-" for no program at that path
    std::string error;           // "@" stands for the path
  };
  const Row rows[] = {
      {"both succeed", "exit 0", ""},
      {"missing program", "-", "@ failed: posix_spawn: No such file or directory"},
      {"exit status 1", "exit 1", "@ exited 1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    StandIns standIns;
    std::string resolvectl =
        row.resolvectlBody == "-" ? standIns.dir.file("absent") : standIns.tool("resolvectl", row.resolvectlBody);
    CapturingLogSink logs;

    DNSCache(resolvectl, standIns.tool("killall")).flush();

    std::vector<LogRecord> expected;
    if (!row.error.empty()) {
      expected.push_back({LogLevel::error, "org.hushwall.daemon", "dns", resolvectl + row.error.substr(1)});
    }
    expected.push_back({LogLevel::notice, "org.hushwall.daemon", "dns", "flushed DNS cache"});
    EXPECT_EQ(logs.records(), expected);
    std::string killall = "killall -HUP dnsmasq\n";
    EXPECT_EQ(standIns.ran(), row.error.find("exited") != std::string::npos || row.error.empty()
                                  ? "resolvectl flush-caches\n" + killall
                                  : killall);
  }
}

}  // namespace
}  // namespace hushwall
