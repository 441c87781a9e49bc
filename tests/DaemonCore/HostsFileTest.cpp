#include "DaemonCore/HostsFile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/ChildProcess.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::TemporaryDirectory;
using testing::fileMode;
using testing::readFile;
using testing::writeFile;

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

  EXPECT_EQ(HostsFile(dir.file("etc/hosts")).path(), dir.file("private/hosts"));
  EXPECT_EQ(HostsFile(dir.file("etc/missing")).path(), dir.file("private/missing"));
  ASSERT_TRUE(HostsFile(dir.file("hosts")).writeData("new\n"));

  struct stat link {};
  ASSERT_EQ(::lstat(dir.file("hosts").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(readFile(dir.file("private/hosts")), "new\n");
}

TEST(HostsFile, KeepsThePermissionsAndCreatesAMissingFile0644WhateverTheUmask) {
  for (int mode : {0600, 0640, 0444, -1}) {
    SCOPED_TRACE(mode);
    TemporaryDirectory dir;
    if (mode >= 0) writeFile(dir.file("hosts"), "old\n", static_cast<unsigned>(mode));
    mode_t umask = ::umask(077);

    auto written = HostsFile(dir.file("hosts")).writeData("new\n");
    ::umask(umask);

    ASSERT_TRUE(written);
    EXPECT_EQ(readFile(dir.file("hosts")), "new\n");
    EXPECT_EQ(fileMode(dir.file("hosts")), mode >= 0 ? mode : 0644);
    if (::geteuid() == 0 && mode < 0) {
      EXPECT_EQ(statOf(dir.file("hosts")).st_uid, 0u);
    }
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
  ASSERT_TRUE(::geteuid() != 0 || ::chown(dir.file("hosts").c_str(), testing::unprivilegedID, 0) == 0);

  EXPECT_EQ(testing::asUnprivilegedUser([&]() -> std::string {
              HostsFile::Syscalls recording = HostsFile::Syscalls::live();
              std::optional<HostsFile::Attributes> applied;
              recording.setAttributes = [&](const std::string& path, const HostsFile::Attributes& attributes) {
                applied = attributes;
                return HostsFile::Syscalls::live().setAttributes(path, attributes);
              };
              auto written = HostsFile(dir.file("hosts"), recording).writeData("new\n");
              if (!written) return describe(written.error());
              if (applied != HostsFile::Attributes{0600, std::nullopt, std::nullopt}) return "owner or group was set";
              return fileMode(dir.file("hosts")) == 0600 ? "" : "mode changed";
            }),
            "");
  EXPECT_EQ(readFile(dir.file("hosts")), "new\n");
}

}  // namespace
}  // namespace hushwall
