#include "DaemonCore/RootOwnedFile.hpp"

#include <gmock/gmock.h>
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

// Checks the file and its directory as the current user sees them; empty when
// both are root-only (and root's own when running as root).
std::string rootOnlyProblems(const std::string& file, const std::string& directory) {
  struct stat f {}, d {};
  if (::stat(file.c_str(), &f) != 0 || ::stat(directory.c_str(), &d) != 0) return "missing";
  if ((f.st_mode & 07777) != 0600 || (d.st_mode & 07777) != 0700) return "file or directory mode";
  if (f.st_uid != ::geteuid() || d.st_uid != ::geteuid()) return "owner";
  if (::geteuid() == 0 && (f.st_gid != 0 || d.st_gid != 0)) return "group";
  return "";
}

TEST(RootOwnedFile, WritesARootOnlyFileInARootOnlyDirectoryItCreates) {
  TemporaryDirectory root;
  std::string target = root.file("state/nested/session.json");

  ASSERT_TRUE(RootOwnedFile(target).write("{\"a\":1}"));

  EXPECT_EQ(readFile(target), "{\"a\":1}");
  EXPECT_EQ(rootOnlyProblems(target, root.file("state/nested")), "");
  EXPECT_EQ(fileMode(root.file("state")), 0700);
  EXPECT_EQ(TemporaryDirectory::directoryNames(root.file("state/nested")), std::vector<std::string>{"session.json"});
}

TEST(RootOwnedFile, ReplacesWhateverWasThereAndLeavesAnExistingDirectoryAlone) {
  struct Row {
    std::string old;
    unsigned oldMode;
    std::string replacement;
  };
  const Row rows[] = {{"longer old contents", 0644, "new"}, {"a", 0666, std::string(70000, 'b')}, {"x", 0600, ""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.oldMode);
    TemporaryDirectory dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    testing::writeFile(dir.file("schedules.json"), row.old, row.oldMode);

    ASSERT_TRUE(RootOwnedFile(dir.file("schedules.json")).write(row.replacement));

    EXPECT_EQ(readFile(dir.file("schedules.json")), row.replacement);
    EXPECT_EQ(fileMode(dir.file("schedules.json")), 0600);
    EXPECT_EQ(fileMode(dir.path()), 0755);
  }
}

TEST(RootOwnedFile, AsANormalUserTheFilesAreStillRootOnlyModesAndKeepTheirOwner) {
  TemporaryDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  std::string target = dir.file("state/nested/session.json");

  EXPECT_EQ(testing::asUnprivilegedUser([&]() -> std::string {
              mode_t umask = ::umask(0277);  // even a umask that takes the owner's write bit
              auto written = RootOwnedFile(target).write("user");
              ::umask(umask);
              if (!written) return describe(written.error());
              return rootOnlyProblems(target, dir.file("state/nested")) + rootOnlyProblems(target, dir.file("state"));
            }),
            "");
}

TEST(RootOwnedFile, CreateTempNeverFollowsASymbolicLink) {
  TemporaryDirectory dir;
  testing::writeFile(dir.file("victim"), "keep");
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file(".link.tmp").c_str()), 0);

  EXPECT_FALSE(RootOwnedFile::Syscalls::live().createTemp(dir.file(".link.tmp")));
  EXPECT_EQ(readFile(dir.file("victim")), "keep");
}

}  // namespace
}  // namespace hushwall
