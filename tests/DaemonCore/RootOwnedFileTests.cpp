#include "DaemonCore/RootOwnedFile.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

struct Owner {
  uid_t user;
  gid_t group;
  friend bool operator==(const Owner&, const Owner&) = default;
};

Owner ownerOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return {info.st_uid, info.st_gid};
}

TEST(RootOwnedFile, CreatesTheDirectoryAndWritesARootOnlyFile) {
  TemporaryDirectory root;
  std::string target = root.file("state/nested/session.json");

  ASSERT_TRUE(RootOwnedFile(target).write("{\"a\":1}"));

  EXPECT_EQ(readFile(target), "{\"a\":1}");
  EXPECT_EQ(fileMode(target), 0600);
  EXPECT_EQ(fileMode(root.file("state/nested")), 0700);
  EXPECT_EQ(fileMode(root.file("state")), 0700);
  if (::geteuid() == 0) {
    EXPECT_EQ(ownerOf(target), (Owner{0, 0}));
    EXPECT_EQ(ownerOf(root.file("state/nested")), (Owner{0, 0}));
  }
  EXPECT_THAT(testing::directoryNames(root.file("state/nested")), ElementsAre("session.json"));
}

TEST(RootOwnedFile, ReplacesContentsAndModeOfAnExistingFile) {
  TemporaryDirectory dir;
  std::string target = dir.file("schedules.json");
  writeFile(target, "old contents that are longer than the new ones", 0644);

  ASSERT_TRUE(RootOwnedFile(target).write("new"));

  EXPECT_EQ(readFile(target), "new");
  EXPECT_EQ(fileMode(target), 0600);
  EXPECT_THAT(dir.names(), ElementsAre("schedules.json"));
}

TEST(RootOwnedFile, WritesZeroBytesAsAnEmptyFile) {
  TemporaryDirectory dir;
  std::string target = dir.file("session.json");
  writeFile(target, "something", 0600);

  ASSERT_TRUE(RootOwnedFile(target).write(""));

  EXPECT_EQ(readFile(target), "");
  EXPECT_THAT(dir.names(), ElementsAre("session.json"));
}

TEST(RootOwnedFile, LeavesAnExistingDirectoryAsItIs) {
  TemporaryDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);

  ASSERT_TRUE(RootOwnedFile(dir.file("session.json")).write("x"));

  EXPECT_EQ(fileMode(dir.path()), 0755);
}

TEST(RootOwnedFile, NamesItsTemporaryFileAfterTheTargetWithAFreshUuid) {
  TemporaryDirectory dir;
  std::vector<std::string> temps;
  RootOwnedFile::Syscalls recording = RootOwnedFile::Syscalls::live();
  recording.createTemp = [&](const std::string& path) {
    temps.push_back(path);
    return RootOwnedFile::Syscalls::live().createTemp(path);
  };
  RootOwnedFile file(dir.file("session.json"), recording);

  ASSERT_TRUE(file.write("1"));
  ASSERT_TRUE(file.write("2"));

  ASSERT_EQ(temps.size(), 2u);
  for (const auto& temp : temps) {
    EXPECT_THAT(temp, MatchesRegex(dir.path() + "/\\.session\\.json-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.tmp"));
  }
  EXPECT_NE(temps[0], temps[1]);
}

TEST(RootOwnedFile, DirectoryPathTakenByAFileFailsAtTheTemporaryFile) {
  TemporaryDirectory dir;
  writeFile(dir.file("state"), "not a directory");
  std::string target = dir.file("state/session.json");

  auto written = RootOwnedFile(target).write("x");

  ASSERT_FALSE(written);
  const auto* error = std::get_if<RootFileError>(&written.error());
  ASSERT_NE(error, nullptr) << describe(written.error());
  EXPECT_EQ(error->kind, WriterFailure::cannotOpenTemporaryFile);
  EXPECT_THAT(error->temporaryPath, MatchesRegex(dir.path() + "/state/\\.session\\.json-.*\\.tmp"));
  EXPECT_EQ(readFile(dir.file("state")), "not a directory");
}

TEST(RootOwnedFile, DirectoryThatCannotBeCreatedFailsWithThePlatformError) {
  TemporaryDirectory dir;
  writeFile(dir.file("blocker"), "a file where a directory is needed");

  auto written = RootOwnedFile(dir.file("blocker/state/session.json")).write("x");

  ASSERT_FALSE(written);
  const auto* error = std::get_if<SystemError>(&written.error());
  ASSERT_NE(error, nullptr) << describe(written.error());
  EXPECT_EQ(error->code, ENOTDIR);
  EXPECT_THAT(dir.names(), ElementsAre("blocker"));
}

TEST(RootOwnedFile, RenameOntoADirectoryReportsTheErrnoAndKeepsTheTarget) {
  TemporaryDirectory dir;
  std::string target = dir.file("session.json");
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  writeFile(target + "/inside", "kept");

  auto written = RootOwnedFile(target).write("x");

  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), Error(RootFileError::renameFailed(EISDIR)));
  EXPECT_EQ(readFile(target + "/inside"), "kept");
  EXPECT_THAT(dir.names(), ElementsAre("session.json"));
}

TEST(RootOwnedFile, AsANormalUserTheFileIsStill0600AndKeepsItsOwner) {
  TemporaryDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  std::string target = dir.file("state/session.json");

  std::string failure = testing::asUnprivilegedUser([&]() -> std::string {
    if (auto written = RootOwnedFile(target).write("user"); !written) return describe(written.error());
    struct stat file {}, directory {};
    if (::stat(target.c_str(), &file) != 0 || ::stat(dir.file("state").c_str(), &directory) != 0) return "stat failed";
    if ((file.st_mode & 07777) != 0600) return "file mode " + std::to_string(file.st_mode & 07777);
    if ((directory.st_mode & 07777) != 0700) return "directory mode " + std::to_string(directory.st_mode & 07777);
    if (file.st_uid != ::geteuid() || directory.st_uid != ::geteuid()) return "owner changed";
    return "";
  });

  EXPECT_EQ(failure, "");
}

TEST(RootOwnedFileSyscalls, RemoveFileReportsAMissingFileAsNoSuchFile) {
  TemporaryDirectory dir;
  auto removed = RootOwnedFile::Syscalls::live().removeFile(dir.file("absent"));

  ASSERT_FALSE(removed);
  const auto* error = std::get_if<SystemError>(&removed.error());
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(error->isNoSuchFile());
}

TEST(RootOwnedFileSyscalls, MoveFileReplacesTheDestination) {
  TemporaryDirectory dir;
  writeFile(dir.file("schedules.json"), "current");
  writeFile(dir.file("schedules.json.broken"), "older");

  ASSERT_TRUE(RootOwnedFile::Syscalls::live().moveFile(dir.file("schedules.json"), dir.file("schedules.json.broken")));

  EXPECT_THAT(dir.names(), ElementsAre("schedules.json.broken"));
  EXPECT_EQ(readFile(dir.file("schedules.json.broken")), "current");
}

TEST(RootOwnedFileSyscalls, CreateTempRefusesToFollowASymbolicLink) {
  TemporaryDirectory dir;
  writeFile(dir.file("victim"), "keep");
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file(".link.tmp").c_str()), 0);

  auto created = RootOwnedFile::Syscalls::live().createTemp(dir.file(".link.tmp"));

  EXPECT_EQ(created, (Result<void>(std::unexpected(RootFileError::cannotOpenTemporaryFile(dir.file(".link.tmp"))))));
  EXPECT_EQ(readFile(dir.file("victim")), "keep");
}

}  // namespace
}  // namespace hushwall
