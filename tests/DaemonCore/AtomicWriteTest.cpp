// The two atomic writers, RootOwnedFile::write and HostsFile::writeData: their
// step order, a failure at each step, and the attributes each
// gives its file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "DaemonCore/HostsFile.hpp"
#include "DaemonCore/RootOwnedFile.hpp"
#include "support/ChildProcess.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using ::testing::ElementsAre;
using testing::fileMode;
using ::testing::MatchesRegex;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::writeFile;
using Steps = std::vector<std::string>;

enum class Writer { rootOwnedFile, hostsFile };

// The live steps, each noted in `log` by name; `failAt` fails as a real step
// would (the write after putting half the bytes down, the attributes after
// changing the mode). Crashes are in CrashStatesTest.
FileIO::Steps instrumented(Steps& log, const std::string& failAt = "") {
  const FileIO::Steps& live = FileIO::Steps::live();
  FileIO::Steps s = live;
  auto failing = [&log, failAt](const char* step) {
    log.emplace_back(step);
    return failAt == step;
  };
  s.createTemp = [=, &live](const std::string& path, mode_t mode) -> Result<void> {
    if (failing("createTemp")) return std::unexpected(WriterError::cannotOpenTemporaryFile(path, ENOSPC));
    return live.createTemp(path, mode);
  };
  s.write = [=, &live](const std::string& path, std::string_view bytes) -> Result<void> {
    if (!failing("write")) return live.write(path, bytes);
    (void)live.write(path, bytes.substr(0, bytes.size() / 2));
    return std::unexpected(SystemError::fromErrno(ENOSPC, "write", path));
  };
  s.sync = [=, &live](const std::string& path) -> Result<void> {
    if (failing("sync")) return std::unexpected(SystemError::fromErrno(EIO, "fsync", path));
    return live.sync(path);
  };
  s.setAttributes = [=, &live](const std::string& path, const FileIO::Attributes& attributes) -> Result<void> {
    auto set = live.setAttributes(path, attributes);
    if (failing("setAttributes")) return std::unexpected(SystemError::fromErrno(EPERM, "chown", path));
    return set;
  };
  s.rename = [=, &live](const std::string& from, const std::string& to) -> Result<void> {
    if (failing("rename")) return std::unexpected(WriterError::renameFailed(to, EXDEV));
    return live.rename(from, to);
  };
  s.syncDirectory = [&log, &live](const std::string& directory) {
    log.emplace_back("syncDirectory");
    live.syncDirectory(directory);
  };
  s.removeTemp = [&log, &live](const std::string& path) {
    log.emplace_back("removeTemp");
    live.removeTemp(path);
  };
  return s;
}

Result<void> write(Writer writer, const std::string& target, std::string_view bytes, FileIO::Steps steps) {
  if (writer == Writer::rootOwnedFile) return RootOwnedFile(target, std::move(steps)).write(bytes);
  return HostsFile(target, std::move(steps)).writeData(bytes);
}

const std::string old = "127.0.0.1\tlocalhost\nold contents\n";
const std::string replacement = std::string(100000, 'n') + "\n";
const Steps everyStep = {"createTemp", "write", "setAttributes", "sync", "rename", "syncDirectory"};

// Guards against: the data or the rename not reaching the disk before the
// write reports success (a power cut then brings back an empty or old file),
// and attributes set after the new file is already visible.
TEST(AtomicWrite, BothWritersRunEveryStepInOrder) {
  for (Writer writer : {Writer::rootOwnedFile, Writer::hostsFile}) {
    SCOPED_TRACE(writer == Writer::rootOwnedFile ? "RootOwnedFile" : "HostsFile");
    TemporaryDirectory dir;
    writeFile(dir.file("target"), old, 0640);
    Steps log;
    ASSERT_TRUE(write(writer, dir.file("target"), replacement, instrumented(log)));
    EXPECT_EQ(log, everyStep);
    EXPECT_EQ(readFile(dir.file("target")), replacement);
    EXPECT_EQ(fileMode(dir.file("target")), writer == Writer::rootOwnedFile ? 0600 : 0640);
  }
}

// Guards against: one step failing (no space left during the write, a refused
// chown, a rename across file systems) and the writer changing the target
// anyway, leaving its temporary file behind, or reporting another error.
TEST(AtomicWrite, AFailureAtAnyStepLeavesTheTargetAsItWasAndNoTemporaryFile) {
  for (Writer writer : {Writer::rootOwnedFile, Writer::hostsFile}) {
    for (std::size_t at = 0; at < 5; ++at) {
      const std::string& step = everyStep[at];
      SCOPED_TRACE((writer == Writer::rootOwnedFile ? "RootOwnedFile failing at " : "HostsFile failing at ") + step);
      TemporaryDirectory dir;
      writeFile(dir.file("target"), old, 0640);
      Steps log;
      auto written = write(writer, dir.file("target"), replacement, instrumented(log, step));
      ASSERT_FALSE(written);
      const std::string error = describe(written.error());
      EXPECT_THAT(error, ::testing::HasSubstr(at == 4 ? dir.file("target") : dir.path() + "/.target-"));
      EXPECT_THAT(error, MatchesRegex(".*(No space left|Input/output|Operation not permitted|cross-device).*"));
      Steps expected(everyStep.begin(), everyStep.begin() + static_cast<long>(at) + 1);
      if (at > 0) expected.emplace_back("removeTemp");
      EXPECT_EQ(log, expected);
      EXPECT_EQ(readFile(dir.file("target")), old);
      EXPECT_EQ(fileMode(dir.file("target")), 0640);
      EXPECT_THAT(dir.names(), ElementsAre("target")) << "temporary file left behind";
    }
  }
}

// Root-only files and directories whatever the umask and the user; the hosts
// file keeps its permissions (0644 when created) and is written through links.
TEST(AtomicWrite, EachWriterGivesItsFileItsAttributes) {
  TemporaryDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  std::string state = dir.file("state/nested/session.json");
  EXPECT_EQ(testing::asUnprivilegedUser([&]() -> std::string {
              mode_t umask = ::umask(0277);  // even a umask that takes the owner's write bit
              auto written = RootOwnedFile(state).write("user");
              ::umask(umask);
              if (!written) return describe(written.error());
              if (fileMode(state) != 0600 || fileMode(dir.file("state/nested")) != 0700 ||
                  fileMode(dir.file("state")) != 0700) {
                return "file or directory mode";
              }
              return "";
            }),
            "");
  EXPECT_EQ(readFile(state), "user");

  for (int mode : {0600, 0444, -1}) {
    SCOPED_TRACE(mode);
    TemporaryDirectory hosts;
    if (mode >= 0) writeFile(hosts.file("hosts"), "old\n", static_cast<unsigned>(mode));
    mode_t umask = ::umask(077);
    auto written = HostsFile(hosts.file("hosts")).writeData("new\n");
    ::umask(umask);
    ASSERT_TRUE(written);
    EXPECT_EQ(fileMode(hosts.file("hosts")), mode >= 0 ? mode : 0644);
  }

  ASSERT_EQ(::mkdir(dir.file("private").c_str(), 0755), 0);
  writeFile(dir.file("private/hosts"), "old\n", 0600);
  ASSERT_EQ(::symlink("private/hosts", dir.file("hosts").c_str()), 0);
  ASSERT_EQ(::symlink("private", dir.file("etc").c_str()), 0);
  EXPECT_EQ(HostsFile(dir.file("etc/missing")).path(), dir.file("private/missing"));
  const bool root = ::geteuid() == 0;
  ASSERT_TRUE(!root || ::chown(dir.file("private/hosts").c_str(), 1234, 5678) == 0);
  ASSERT_TRUE(HostsFile(dir.file("etc/hosts")).writeData("new\n"));
  struct stat real {
  }, link{};
  ASSERT_EQ(::stat(dir.file("private/hosts").c_str(), &real), 0);
  ASSERT_EQ(::lstat(dir.file("hosts").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(readFile(dir.file("private/hosts")), "new\n");
  EXPECT_EQ(real.st_mode & 07777, 0600u);
  EXPECT_TRUE(!root || (real.st_uid == 1234 && real.st_gid == 5678)) << "the owner and group are kept";

  writeFile(dir.file("victim"), "keep");
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file(".link.tmp").c_str()), 0);
  EXPECT_FALSE(FileIO::Steps::live().createTemp(dir.file(".link.tmp"), 0600)) << "a link is never followed";
  EXPECT_EQ(readFile(dir.file("victim")), "keep");
}

}  // namespace
}  // namespace hushwall
