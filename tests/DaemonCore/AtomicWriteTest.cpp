// The two atomic writers, RootOwnedFile::write and HostsFile::writeData, under
// a failure or a crash at each of their file-system steps.
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

using testing::TemporaryDirectory;
using testing::readFile;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

enum class Writer { rootOwnedFile, hostsFile };

std::string nameOf(Writer writer) { return writer == Writer::rootOwnedFile ? "RootOwnedFile" : "HostsFile"; }

// What a failing step reports: the writer's own error for the temporary file
// and the rename, a platform error for the others.
Error failureOf(Writer writer, const std::string& step, const std::string& temp) {
  bool root = writer == Writer::rootOwnedFile;
  if (step == "createTemp") {
    return root ? Error(RootFileError::cannotOpenTemporaryFile(temp)) : HostsFileError::cannotOpenTemporaryFile(temp);
  }
  if (step == "rename") return root ? Error(RootFileError::renameFailed(EXDEV)) : HostsFileError::renameFailed(EXDEV);
  return SystemError::fromErrno(step == "writeAndSync" ? ENOSPC : EPERM, step, temp);
}

// The live primitives, with `step` failing as a real one would: creation and
// rename before touching anything, the write after putting half the bytes
// down, the attribute update after it changed the mode. `crash` turns the
// failure into the end of the process. `temp` receives the temporary path.
template <class Syscalls>
Syscalls faultyAt(Writer writer, const std::string& step, bool crash, std::string& temp) {
  Syscalls s = Syscalls::live();
  const Syscalls& live = Syscalls::live();
  auto fail = [=](const std::string& path) {
    if (crash) ::_exit(0);
    return Result<void>(std::unexpected(failureOf(writer, step, path)));
  };
  s.createTemp = [=, &temp, &live](const std::string& path) {
    temp = path;
    return step == "createTemp" ? fail(path) : live.createTemp(path);
  };
  if (step == "writeAndSync") {
    s.writeAndSync = [=, &live](const std::string& path, std::string_view bytes) {
      (void)live.writeAndSync(path, bytes.substr(0, bytes.size() / 2));
      return fail(path);
    };
  }
  if (step == "rename") s.rename = [=](const std::string& from, const std::string&) { return fail(from); };
  if (step == "renamed") {  // a crash right after the rename
    s.rename = [=, &live](const std::string& from, const std::string& to) { return (void)live.rename(from, to), fail(from); };
  }
  if constexpr (requires { s.setOwnerAndMode; }) {
    if (step == "setOwnerAndMode") {
      s.setOwnerAndMode = [=, &live](const std::string& path) { return (void)live.setOwnerAndMode(path), fail(path); };
    }
  } else if (step == "setAttributes") {
    s.setAttributes = [=, &live](const std::string& path, const HostsFile::Attributes& attributes) {
      return (void)live.setAttributes(path, attributes), fail(path);
    };
  }
  return s;
}

Result<void> write(Writer writer, const std::string& target, const std::string& bytes, const std::string& step = "",
                   bool crash = false, std::string* tempSeen = nullptr) {
  std::string ignored;
  std::string& temp = tempSeen ? *tempSeen : ignored;
  if (writer == Writer::rootOwnedFile) {
    return RootOwnedFile(target, faultyAt<RootOwnedFile::Syscalls>(writer, step, crash, temp)).write(bytes);
  }
  return HostsFile(target, faultyAt<HostsFile::Syscalls>(writer, step, crash, temp)).writeData(bytes);
}

const std::string old = "127.0.0.1\tlocalhost\nold contents\n";
const std::string replacement = std::string(100000, 'n') + "\n";

struct Step {
  Writer writer;
  std::string step;
};
const Step failingSteps[] = {
    {Writer::rootOwnedFile, "createTemp"},      {Writer::rootOwnedFile, "writeAndSync"},
    {Writer::rootOwnedFile, "setOwnerAndMode"}, {Writer::rootOwnedFile, "rename"},
    {Writer::hostsFile, "createTemp"},          {Writer::hostsFile, "writeAndSync"},
    {Writer::hostsFile, "setAttributes"},       {Writer::hostsFile, "rename"},
};

// Guards against: one step of a replacement fails (no space left during the
// write, a refused chown, a rename across file systems) and the writer changes
// the target anyway, leaves its temporary file behind, or reports another
// error than that step's.
TEST(AtomicWrite, AFailureAtAnyStepLeavesTheTargetAsItWasAndNoTemporaryFile) {
  for (const auto& [writer, step] : failingSteps) {
    SCOPED_TRACE(nameOf(writer) + " failing at " + step);
    TemporaryDirectory dir;
    testing::writeFile(dir.file("target"), old, 0640);
    std::string temp;

    auto written = write(writer, dir.file("target"), replacement, step, false, &temp);

    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), failureOf(writer, step, temp));
    EXPECT_THAT(temp, MatchesRegex(dir.path() + "/\\.(target|hushwall)-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.tmp"));
    EXPECT_EQ(readFile(dir.file("target")), old);
    EXPECT_EQ(testing::fileMode(dir.file("target")), 0640);
    EXPECT_THAT(dir.names(), ElementsAre("target")) << "temporary file left behind";
  }
}

// Guards against: the daemon dies part-way through a replacement and the next
// start finds a torn, empty or missing file. Each crash ends a child process;
// the parent reads what it left. (The fsync before the rename is what carries
// this over to a power cut.)
TEST(AtomicWrite, ACrashAtAnyStepLeavesTheOldOrTheNewBytesNeverAMix) {
  std::vector<Step> crashes(std::begin(failingSteps), std::end(failingSteps));
  crashes.push_back({Writer::rootOwnedFile, "renamed"});
  crashes.push_back({Writer::hostsFile, "renamed"});
  for (const auto& [writer, step] : crashes) {
    SCOPED_TRACE(nameOf(writer) + " crashing at " + step);
    TemporaryDirectory dir;
    std::string target = dir.file("target");
    testing::writeFile(target, old, 0600);

    std::string report = testing::inChildProcess([&] {
      auto written = write(writer, target, replacement, step, true);
      testing::reportFromChild(written ? "did not crash" : describe(written.error()));
    });

    EXPECT_EQ(report, "");
    EXPECT_EQ(readFile(target), step == "renamed" ? replacement : old);
    ASSERT_TRUE(write(writer, target, "next\n")) << "a leftover temporary file must not block the next write";
    EXPECT_EQ(readFile(target), "next\n");
  }
}

TEST(AtomicWrite, RealFailuresOfTheFileSystemAreReportedAsTheirStep) {
  for (Writer writer : {Writer::rootOwnedFile, Writer::hostsFile}) {
    SCOPED_TRACE(nameOf(writer));
    TemporaryDirectory dir;
    // A directory where the target belongs: the rename fails, the directory stays.
    ASSERT_EQ(::mkdir(dir.file("target").c_str(), 0700), 0);
    auto renamed = write(writer, dir.file("target"), "x");
    ASSERT_FALSE(renamed);
    EXPECT_EQ(renamed.error(), writer == Writer::rootOwnedFile ? Error(RootFileError::renameFailed(EISDIR))
                                                               : HostsFileError::renameFailed(EISDIR));
    // A file where the directory belongs: the temporary file cannot be created.
    testing::writeFile(dir.file("file"), "kept");
    auto created = write(writer, dir.file("file/target"), "x");
    ASSERT_FALSE(created);
    EXPECT_THAT(describe(created.error()), MatchesRegex("could not create the temporary file .*/file/\\..*\\.tmp"));
    EXPECT_THAT(dir.names(), ElementsAre("file", "target"));
    EXPECT_EQ(readFile(dir.file("file")), "kept");
  }
}

}  // namespace
}  // namespace hushwall
