// Both atomic writers, RootOwnedFile::write and HostsFile::writeData, under
// failures and crashes at each of their file-system steps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "DaemonCore/HostsFile.hpp"
#include "DaemonCore/RootOwnedFile.hpp"
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

enum class Writer { rootOwnedFile, hostsFile };

const char* nameOf(Writer writer) { return writer == Writer::rootOwnedFile ? "RootOwnedFile" : "HostsFile"; }

// What the named step reports when it fails: the writer's own error for the
// temporary file and the rename, a platform error for the others.
Error failureOf(Writer writer, const std::string& step, const std::string& temp) {
  bool root = writer == Writer::rootOwnedFile;
  if (step == "createTemp") {
    return root ? Error(RootFileError::cannotOpenTemporaryFile(temp)) : Error(HostsFileError::cannotOpenTemporaryFile(temp));
  }
  if (step == "rename") return root ? Error(RootFileError::renameFailed(EXDEV)) : Error(HostsFileError::renameFailed(EXDEV));
  if (step == "writeAndSync") return SystemError::fromErrno(ENOSPC, "write", temp);
  return SystemError::fromErrno(EPERM, "chown", temp);
}

// Wraps the live primitives so that `step` fails the way a real one would:
// creation and rename fail before touching anything, the write after putting
// half the bytes down, the attribute update after it changed the mode. `temp`
// receives the temporary path the writer chose.
template <class Syscalls>
Syscalls failingAt(Writer writer, const std::string& step, std::string& temp) {
  Syscalls syscalls = Syscalls::live();
  const Syscalls& live = Syscalls::live();
  syscalls.createTemp = [&, writer, step](const std::string& path) -> Result<void> {
    temp = path;
    if (step == "createTemp") return std::unexpected(failureOf(writer, step, path));
    return live.createTemp(path);
  };
  if (step == "writeAndSync") {
    syscalls.writeAndSync = [&, writer](const std::string& path, std::string_view bytes) -> Result<void> {
      (void)live.writeAndSync(path, bytes.substr(0, bytes.size() / 2));
      return std::unexpected(failureOf(writer, "writeAndSync", path));
    };
  }
  if (step == "rename") {
    syscalls.rename = [writer](const std::string& from, const std::string&) -> Result<void> {
      return std::unexpected(failureOf(writer, "rename", from));
    };
  }
  if constexpr (requires { syscalls.setOwnerAndMode; }) {
    if (step == "setOwnerAndMode") {
      syscalls.setOwnerAndMode = [&, writer](const std::string& path) -> Result<void> {
        (void)live.setOwnerAndMode(path);
        return std::unexpected(failureOf(writer, "setOwnerAndMode", path));
      };
    }
  } else {
    if (step == "setAttributes") {
      syscalls.setAttributes = [&, writer](const std::string& path, const HostsFile::Attributes& attributes) -> Result<void> {
        (void)live.setAttributes(path, attributes);
        return std::unexpected(failureOf(writer, "setAttributes", path));
      };
    }
  }
  return syscalls;
}

Result<void> writeFailingAt(Writer writer, const std::string& step, const std::string& target, const std::string& bytes,
                            std::string& temp) {
  if (writer == Writer::rootOwnedFile) {
    return RootOwnedFile(target, failingAt<RootOwnedFile::Syscalls>(writer, step, temp)).write(bytes);
  }
  return HostsFile(target, failingAt<HostsFile::Syscalls>(writer, step, temp)).writeData(bytes);
}

// Guards against: one step of an atomic replacement fails (no space left during
// the write, a refused chown, a rename across file systems) and the writer
// changes the target anyway, leaves its temporary file behind, or reports some
// other error than that step's.
TEST(AtomicWriteFaults, AFailureAtAnyStepLeavesTheTargetAsItWasAndNoTemporaryFile) {
  struct Case {
    Writer writer;
    std::string step;
  };
  const Case cases[] = {
      {Writer::rootOwnedFile, "createTemp"}, {Writer::rootOwnedFile, "writeAndSync"},
      {Writer::rootOwnedFile, "setOwnerAndMode"}, {Writer::rootOwnedFile, "rename"},
      {Writer::hostsFile, "createTemp"},     {Writer::hostsFile, "writeAndSync"},
      {Writer::hostsFile, "setAttributes"},  {Writer::hostsFile, "rename"},
  };
  const std::string old = "127.0.0.1\tlocalhost\nold contents\n";
  const std::string replacement = std::string(100000, 'n') + "\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(nameOf(c.writer)) + " failing at " + c.step);
    TemporaryDirectory dir;
    std::string name = c.writer == Writer::rootOwnedFile ? "session.json" : "hosts";
    std::string target = dir.file(name);
    writeFile(target, old, 0640);
    std::string temp;

    auto written = writeFailingAt(c.writer, c.step, target, replacement, temp);

    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), failureOf(c.writer, c.step, temp));
    EXPECT_THAT(temp, MatchesRegex(dir.path() + "/\\.(session\\.json|hushwall)-[0-9A-F-]{36}\\.tmp"));
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(fileMode(target), 0640);
    EXPECT_THAT(dir.names(), ElementsAre(name)) << "temporary file left behind";
  }
}

TEST(AtomicWriteFaults, StepsThatCannotFailDoNotFailTheWrite) {
  TemporaryDirectory dir;
  RootOwnedFile::Syscalls noDirectorySync = RootOwnedFile::Syscalls::live();
  noDirectorySync.syncDirectory = [](const std::string&) {};
  ASSERT_TRUE(RootOwnedFile(dir.file("session.json"), noDirectorySync).write("new"));
  EXPECT_EQ(readFile(dir.file("session.json")), "new");

  HostsFile::Syscalls noAttributes = HostsFile::Syscalls::live();
  noAttributes.readAttributes = [](const std::string&) { return std::nullopt; };
  writeFile(dir.file("hosts"), "old\n", 0600);
  ASSERT_TRUE(HostsFile(dir.file("hosts"), noAttributes).writeData("new\n"));
  EXPECT_EQ(readFile(dir.file("hosts")), "new\n");
  EXPECT_EQ(fileMode(dir.file("hosts")), 0644) << "unknown attributes fall back to 0644";
}

// Where a crash can interrupt a write. `during` cuts the write in half.
enum class Moment { before, during, after };

struct CrashPoint {
  std::string step;
  Moment moment;
  bool replaced;  // whether the target holds the new bytes after the crash
};

template <class Syscalls>
Syscalls crashingAt(const CrashPoint& point) {
  Syscalls syscalls = Syscalls::live();
  const Syscalls& live = Syscalls::live();
  auto around = [&point](const std::string& step, auto call) {
    if (step == point.step && point.moment == Moment::before) ::_exit(0);
    auto result = call();
    if (step == point.step && point.moment == Moment::after) ::_exit(0);
    return result;
  };
  syscalls.createTemp = [=, &live](const std::string& path) {
    return around("createTemp", [&] { return live.createTemp(path); });
  };
  syscalls.writeAndSync = [=, &live](const std::string& path, std::string_view bytes) {
    if (point.step == "writeAndSync" && point.moment == Moment::during) {
      (void)live.writeAndSync(path, bytes.substr(0, bytes.size() / 2));
      ::_exit(0);
    }
    return around("writeAndSync", [&] { return live.writeAndSync(path, bytes); });
  };
  syscalls.rename = [=, &live](const std::string& from, const std::string& to) {
    return around("rename", [&] { return live.rename(from, to); });
  };
  if constexpr (requires { syscalls.setOwnerAndMode; }) {
    syscalls.setOwnerAndMode = [=, &live](const std::string& path) {
      return around("attributes", [&] { return live.setOwnerAndMode(path); });
    };
    syscalls.syncDirectory = [=, &live](const std::string& path) {
      around("syncDirectory", [&] {
        live.syncDirectory(path);
        return 0;
      });
    };
  } else {
    syscalls.setAttributes = [=, &live](const std::string& path, const HostsFile::Attributes& attributes) {
      return around("attributes", [&] { return live.setAttributes(path, attributes); });
    };
  }
  return syscalls;
}

// Guards against: the daemon dies part-way through a replacement (a crash, a
// kill, the machine losing power before the rename) and the next start finds a
// torn, empty or missing file. Each crash happens in a child process; the
// parent then reads what the child left.
TEST(AtomicWriteFaults, ACrashAtAnyPointLeavesTheOldOrTheNewBytesNeverAMix) {
  const CrashPoint points[] = {
      {"createTemp", Moment::before, false},   {"createTemp", Moment::after, false},
      {"writeAndSync", Moment::during, false}, {"writeAndSync", Moment::after, false},
      {"attributes", Moment::after, false},    {"rename", Moment::before, false},
      {"rename", Moment::after, true},         {"syncDirectory", Moment::after, true},
  };
  const std::string old = std::string(50000, 'o') + "\n";
  const std::string replacement = std::string(80000, 'n') + "\n";
  for (Writer writer : {Writer::rootOwnedFile, Writer::hostsFile}) {
    for (const auto& point : points) {
      if (writer == Writer::hostsFile && point.step == "syncDirectory") continue;
      SCOPED_TRACE(std::string(nameOf(writer)) + " crashing around " + point.step + " #" +
                   std::to_string(static_cast<int>(point.moment)));
      TemporaryDirectory dir;
      std::string target = dir.file("target");
      writeFile(target, old, 0600);

      std::string report = testing::inChildProcess([&] {
        Result<void> written = writer == Writer::rootOwnedFile
                                   ? RootOwnedFile(target, crashingAt<RootOwnedFile::Syscalls>(point)).write(replacement)
                                   : HostsFile(target, crashingAt<HostsFile::Syscalls>(point)).writeData(replacement);
        testing::reportFromChild(written ? "finished without crashing" : describe(written.error()));
      });

      EXPECT_EQ(report, "");
      std::string after = readFile(target);
      EXPECT_TRUE(after == old || after == replacement) << "torn target of " << after.size() << " bytes";
      EXPECT_EQ(after == replacement, point.replaced);
      EXPECT_LE(dir.names().size(), 2u);

      // A leftover temporary file never shadows the target or blocks the next write.
      std::string next = "next\n";
      Result<void> again = writer == Writer::rootOwnedFile ? RootOwnedFile(target).write(next)
                                                           : HostsFile(target).writeData(next);
      ASSERT_TRUE(again);
      EXPECT_EQ(readFile(target), next);
    }
  }
}

}  // namespace
}  // namespace hushwall
