#include "DaemonCore/HostsFile.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "support/ChildProcess.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::TemporaryDirectory;
using testing::fileMode;
using testing::readFile;
using testing::writeFile;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

struct stat statOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info;
}

TEST(HostsFile, ResolvesSymbolicLinksSoAWriteReplacesTheRealFile) {
  TemporaryDirectory dir;
  ASSERT_EQ(::mkdir(dir.file("private").c_str(), 0755), 0);
  writeFile(dir.file("private/hosts"), "old\n");
  ASSERT_EQ(::symlink("private/hosts", dir.file("hosts").c_str()), 0);
  ASSERT_EQ(::symlink("private", dir.file("etc").c_str()), 0);

  HostsFile hosts(dir.file("hosts"));
  EXPECT_EQ(hosts.path(), dir.file("private/hosts"));
  EXPECT_EQ(HostsFile(dir.file("etc/hosts")).path(), dir.file("private/hosts"));
  ASSERT_TRUE(hosts.writeData("new\n"));

  struct stat link {};
  ASSERT_EQ(::lstat(dir.file("hosts").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(readFile(dir.file("hosts")), "new\n");
  EXPECT_THAT(testing::directoryNames(dir.file("private")), ElementsAre("hosts"));
}

TEST(HostsFile, AMissingFileIsResolvedThroughItsDirectory) {
  TemporaryDirectory dir;
  ASSERT_EQ(::symlink(dir.path().c_str(), dir.file("etc").c_str()), 0);

  EXPECT_EQ(HostsFile(dir.file("etc/hosts")).path(), dir.file("hosts"));
  EXPECT_EQ(HostsFile(dir.file("missing/hosts")).path(), dir.file("missing/hosts"));
}

TEST(HostsFile, ReadingAMissingFileFailsWithThePlatformError) {
  TemporaryDirectory dir;
  auto read = HostsFile(dir.file("hosts")).readData();

  ASSERT_FALSE(read);
  const auto* error = std::get_if<SystemError>(&read.error());
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(error->isNoSuchFile());
}

TEST(HostsFile, ReadsAndWritesAnyBytes) {
  TemporaryDirectory dir;
  std::string bytes("a\r\n\0\xff\n# BEGIN HUSHWALL", 22);
  HostsFile hosts(dir.file("hosts"));

  ASSERT_TRUE(hosts.writeData(bytes));

  EXPECT_EQ(hosts.readData(), bytes);
}

TEST(HostsFile, KeepsThePermissionsOfTheFileItReplaces) {
  for (unsigned mode : {0600u, 0644u, 0640u, 0444u}) {
    SCOPED_TRACE(mode);
    TemporaryDirectory dir;
    writeFile(dir.file("hosts"), "old\n", mode);

    ASSERT_TRUE(HostsFile(dir.file("hosts")).writeData("new\n"));

    EXPECT_EQ(fileMode(dir.file("hosts")), static_cast<int>(mode));
    EXPECT_EQ(readFile(dir.file("hosts")), "new\n");
  }
}

TEST(HostsFile, AMissingFileIsCreated0644AndRootOwnedAsRoot) {
  TemporaryDirectory dir;
  mode_t previous = ::umask(077);  // the result must not depend on the umask
  auto written = HostsFile(dir.file("hosts")).writeData("127.0.0.1\tlocalhost\n");
  ::umask(previous);

  ASSERT_TRUE(written);
  EXPECT_EQ(fileMode(dir.file("hosts")), 0644);
  if (::geteuid() == 0) {
    EXPECT_EQ(statOf(dir.file("hosts")).st_uid, 0u);
    EXPECT_EQ(statOf(dir.file("hosts")).st_gid, 0u);
  }
}

TEST(HostsFile, AsRootKeepsTheOwnerAndGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  TemporaryDirectory dir;
  writeFile(dir.file("hosts"), "old\n", 0600);
  ASSERT_EQ(::chown(dir.file("hosts").c_str(), 1234, 5678), 0);

  ASSERT_TRUE(HostsFile(dir.file("hosts")).writeData("new\n"));

  EXPECT_EQ(statOf(dir.file("hosts")).st_uid, 1234u);
  EXPECT_EQ(statOf(dir.file("hosts")).st_gid, 5678u);
  EXPECT_EQ(fileMode(dir.file("hosts")), 0600);
}

TEST(HostsFile, AsANormalUserKeepsThePermissionsAndNeverTriesToChangeTheOwner) {
  TemporaryDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  writeFile(dir.file("hosts"), "old\n", 0600);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(dir.file("hosts").c_str(), testing::unprivilegedID, 0), 0);
  }

  std::string failure = testing::asUnprivilegedUser([&]() -> std::string {
    std::optional<HostsFile::Attributes> applied;
    HostsFile::Syscalls recording = HostsFile::Syscalls::live();
    recording.setAttributes = [&](const std::string& path, const HostsFile::Attributes& attributes) {
      applied = attributes;
      return HostsFile::Syscalls::live().setAttributes(path, attributes);
    };
    if (auto written = HostsFile(dir.file("hosts"), recording).writeData("new\n"); !written) {
      return describe(written.error());
    }
    if (applied != HostsFile::Attributes{0600, std::nullopt, std::nullopt}) return "owner or group was set";
    struct stat info {};
    if (::stat(dir.file("hosts").c_str(), &info) != 0) return "stat failed";
    if ((info.st_mode & 07777) != 0600) return "mode " + std::to_string(info.st_mode & 07777);
    if (info.st_uid != ::geteuid()) return "owner changed";
    return "";
  });

  EXPECT_EQ(failure, "");
  EXPECT_EQ(readFile(dir.file("hosts")), "new\n");
}

TEST(HostsFile, NamesItsTemporaryFileWithAFreshUuid) {
  TemporaryDirectory dir;
  std::vector<std::string> temps;
  HostsFile::Syscalls recording = HostsFile::Syscalls::live();
  recording.createTemp = [&](const std::string& path) {
    temps.push_back(path);
    return HostsFile::Syscalls::live().createTemp(path);
  };
  HostsFile hosts(dir.file("hosts"), recording);

  ASSERT_TRUE(hosts.writeData("1"));
  ASSERT_TRUE(hosts.writeData("2"));

  ASSERT_EQ(temps.size(), 2u);
  EXPECT_THAT(temps[0], MatchesRegex(dir.path() + "/\\.hushwall-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.tmp"));
  EXPECT_NE(temps[0], temps[1]);
  EXPECT_THAT(dir.names(), ElementsAre("hosts"));
}

TEST(HostsFile, RenameOntoADirectoryFailsWithTheErrno) {
  TemporaryDirectory dir;
  ASSERT_EQ(::mkdir(dir.file("hosts").c_str(), 0755), 0);

  auto written = HostsFile(dir.file("hosts")).writeData("x");

  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), Error(HostsFileError::renameFailed(EISDIR)));
  EXPECT_THAT(dir.names(), ElementsAre("hosts"));
}

TEST(HostsFile, ACreationRefusedLeavesNothingBehind) {
  TemporaryDirectory dir;
  auto written = HostsFile(dir.file("missing/hosts")).writeData("x");

  ASSERT_FALSE(written);
  const auto* error = std::get_if<HostsFileError>(&written.error());
  ASSERT_NE(error, nullptr) << describe(written.error());
  EXPECT_EQ(error->kind, WriterFailure::cannotOpenTemporaryFile);
  EXPECT_THAT(error->temporaryPath, MatchesRegex(dir.path() + "/missing/\\.hushwall-.*\\.tmp"));
  EXPECT_THAT(dir.names(), ::testing::IsEmpty());
}

// A reader racing the writer: with a rename as the only visible step, every
// read must return one complete version.
TEST(HostsFile, AConcurrentReaderSeesTheOldOrTheNewFileNeverAMix) {
  TemporaryDirectory dir;
  const std::string a(64 * 1024, 'a');
  const std::string b(96 * 1024, 'b');
  HostsFile hosts(dir.file("hosts"));
  ASSERT_TRUE(hosts.writeData(a));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};

  std::thread reader([&] {
    while (!done.load()) {
      auto bytes = hosts.readData();
      if (!bytes || (*bytes != a && *bytes != b)) torn.fetch_add(1);
      reads.fetch_add(1);
    }
  });
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(hosts.writeData(i % 2 ? a : b));
  done = true;
  reader.join();

  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_THAT(dir.names(), ElementsAre("hosts"));
}

}  // namespace
}  // namespace hushwall
