#include "DaemonCore/DNSCache.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "DaemonCore/SystemPaths.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/StandInProgram.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::CapturingLogSink;
using testing::TemporaryDirectory;
using testing::readFile;
using testing::writeStandIn;
using ::testing::ElementsAre;

// Each stand-in appends its name and arguments to a shared log, so a test sees
// which ran, in which order, with what.
struct StandIns {
  TemporaryDirectory dir;
  std::string calls = dir.file("calls");

  std::string tool(const std::string& name, const std::string& extra = "") {
    return writeStandIn(dir.file(name), "echo \"" + name + " $*\" >> '" + calls + "'\n" + extra);
  }
  [[nodiscard]] std::string ran() const { return ::access(calls.c_str(), F_OK) == 0 ? readFile(calls) : ""; }
};

TEST(DNSCache, RunsBothToolsWithTheirArgumentsThenLogsTheFlush) {
  StandIns standIns;
  CapturingLogSink logs;

  DNSCache(standIns.tool("resolvectl"), standIns.tool("killall")).flush();

  EXPECT_EQ(standIns.ran(), "resolvectl flush-caches\nkillall -HUP dnsmasq\n");
  ASSERT_EQ(logs.records().size(), 1u);
  EXPECT_EQ(logs.records()[0], (LogRecord{LogLevel::notice, "org.hushwall.daemon", "dns", "flushed DNS cache"}));
}

TEST(DNSCache, FailuresAreLoggedAndNeverStopTheOtherTool) {
  struct Case {
    const char* name;
    std::string resolvectlBody;  // empty: no program at that path
    std::vector<std::string> errors;
  };
  StandIns shared;
  const std::string missing = shared.dir.file("absent/resolvectl");
  const Case cases[] = {
      {"missing program", "", {missing + " failed: posix_spawn: No such file or directory"}},
      {"exit status 1", "exit 1", {"@ exited 1"}},
      {"exit status 255", "exit 255", {"@ exited 255"}},
      {"killed by a signal", "kill -TERM $$", {"@ exited 15"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandIns standIns;
    std::string resolvectl = c.resolvectlBody.empty() ? missing : standIns.tool("resolvectl", c.resolvectlBody);
    CapturingLogSink logs;

    DNSCache(resolvectl, standIns.tool("killall")).flush();

    std::vector<std::string> expected;
    for (auto line : c.errors) {
      if (line.starts_with("@")) line = resolvectl + line.substr(1);
      expected.push_back(line);
    }
    expected.push_back("flushed DNS cache");
    EXPECT_EQ(logs.messages("dns"), expected);
    EXPECT_EQ(logs.records().front().level, LogLevel::error);
    EXPECT_THAT(standIns.ran(), ::testing::HasSubstr("killall -HUP dnsmasq\n"));
  }
}

TEST(DNSCache, AProgramThatCannotBeExecutedIsALaunchFailure) {
  StandIns standIns;
  std::string notExecutable = standIns.dir.file("resolvectl");
  testing::writeFile(notExecutable, "#!/bin/sh\n", 0644);
  CapturingLogSink logs;

  DNSCache::run(notExecutable, {});  // not even root may run a file without an execute bit

  EXPECT_THAT(logs.messages("dns"), ElementsAre(notExecutable + " failed: posix_spawn: Permission denied"));
}

// Captures what this process writes to its own standard output and error.
class OwnOutput {
 public:
  OwnOutput() : file_(dir_.file("own-output")) {
    std::fflush(nullptr);
    savedOut_ = ::dup(STDOUT_FILENO);
    savedErr_ = ::dup(STDERR_FILENO);
    int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  std::string release() {
    std::fflush(nullptr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedErr_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedErr_);
    return readFile(file_);
  }

 private:
  TemporaryDirectory dir_;
  std::string file_;
  int savedOut_ = -1;
  int savedErr_ = -1;
};

TEST(DNSCache, TheToolsOutputNeverReachesOurStreams) {
  StandIns standIns;
  std::string noisy = "echo to-stdout; echo to-stderr >&2; head -c 200000 /dev/zero; exit 0";
  CapturingLogSink logs;
  OwnOutput own;

  DNSCache(standIns.tool("resolvectl", noisy), standIns.tool("killall", noisy)).flush();

  std::string leaked = own.release();
  EXPECT_TRUE(leaked.empty()) << leaked.size() << " bytes reached our streams, starting " << leaked.substr(0, 30);
  EXPECT_THAT(logs.messages("dns"), ElementsAre("flushed DNS cache"));
}

TEST(DNSCache, TheToolsInheritNoDescriptorBeyondTheStandardThree) {
  StandIns standIns;
  int fd = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::dup2(fd, 100), 100);
  ::close(fd);
  CapturingLogSink logs;

  DNSCache::run(standIns.tool("probe", "[ -e /proc/$$/fd/100 ] && exit 3\n[ -e /proc/$$/fd/0 ] || exit 4\nexit 0"), {});
  ::close(100);

  EXPECT_THAT(logs.messages("dns"), ::testing::IsEmpty());
  EXPECT_EQ(standIns.ran(), "probe \n");
}

TEST(DNSCache, DefaultsToTheSystemTools) {
  DNSCache cache;
  EXPECT_EQ(cache.resolvectl(), systemPaths().resolvectl);
  EXPECT_EQ(cache.killall(), systemPaths().killall);
  EXPECT_EQ(systemPaths(), SystemPaths::under(""));
}

TEST(SystemPaths, AreTheMachinesPathsUnderARoot) {
  SystemPaths machine{"/etc/hosts", "/var/lib/org.hushwall.daemon", "/usr/bin/resolvectl", "/usr/bin/killall"};
  EXPECT_EQ(SystemPaths::under(""), machine);
  SystemPaths sandbox{"/tmp/box/etc/hosts", "/tmp/box/var/lib/org.hushwall.daemon", "/tmp/box/usr/bin/resolvectl",
                      "/tmp/box/usr/bin/killall"};
  EXPECT_EQ(SystemPaths::under("/tmp/box"), sandbox);
  EXPECT_EQ(SystemPaths::under("/tmp/box/"), sandbox);
}

}  // namespace
}  // namespace hushwall
