#include "DaemonCore/BlockController.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "DaemonCore/HostsDocument.hpp"
#include "DaemonCore/SystemPaths.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/StandInProgram.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::CapturingLogSink;
using testing::TemporaryDirectory;
using testing::readFile;
using testing::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const Uuid session = *Uuid::parse("0F5E2A4C-1B3D-4E6F-8A9B-C0D1E2F3A4B5");
const std::string base = "127.0.0.1\tlocalhost\n::1\tlocalhost\n";

// A hosts file in a temporary folder, a controller on it whose DNS tools are
// stand-ins that count their runs, and a count of the file's replacements.
struct Fixture {
  TemporaryDirectory dir;
  std::string hostsPath = dir.file("hosts");
  std::string flushes = dir.file("flushes");
  int writes = 0;

  explicit Fixture(const std::string& contents = base) { writeFile(hostsPath, contents); }

  HostsFile::Syscalls countingWrites() {
    HostsFile::Syscalls syscalls = HostsFile::Syscalls::live();
    syscalls.createTemp = [this](const std::string& path) {
      ++writes;
      return HostsFile::Syscalls::live().createTemp(path);
    };
    return syscalls;
  }
  BlockController controller(bool flushesDNS = true, HostsFile::Syscalls syscalls = {}) {
    if (!syscalls.createTemp) syscalls = countingWrites();
    std::string tool = testing::writeStandIn(dir.file("tool"), "echo \"$1\" >> '" + flushes + "'");
    return BlockController(HostsFile(hostsPath, std::move(syscalls)), flushesDNS, DNSCache(tool, tool));
  }
  // How many times both DNS tools ran.
  [[nodiscard]] std::size_t flushCount() const {
    if (::access(flushes.c_str(), F_OK) != 0) return 0;
    std::string text = readFile(flushes);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) / 2;
  }
  [[nodiscard]] std::string contents() const { return readFile(hostsPath); }
};

TEST(BlockController, ApplyWritesTheValidatedDomainsThenFlushesAndLogs) {
  Fixture fixture;
  CapturingLogSink logs;

  ASSERT_TRUE(fixture.controller().apply({"Example.COM", "news.org", "example.com"}, 3600, session));

  EXPECT_EQ(fixture.contents(), base + HostsDocument::renderBlock({"example.com", "news.org"}, session));
  EXPECT_EQ(fixture.writes, 1);
  EXPECT_EQ(fixture.flushCount(), 1u);
  EXPECT_THAT(logs.messages("block"), ElementsAre("blocked 2 domains, session 0F5E2A4C-1B3D-4E6F-8A9B-C0D1E2F3A4B5"));
  EXPECT_THAT(logs.messages("dns"), ElementsAre("flushed DNS cache"));
  EXPECT_EQ(fixture.controller().hasActiveBlock(), true);
}

TEST(BlockController, DurationsOutsideTheRangeAreRefusedBeforeTheFileIsTouched) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    double duration;
    bool accepted;
  };
  const Case cases[] = {{60, true},
                        {86400, true},
                        {std::nextafter(60.0, 0.0), false},
                        {std::nextafter(86400.0, 1e9), false},
                        {0, false},
                        {-3600, false},
                        {nan, false},
                        {infinity, false},
                        {-infinity, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.duration);
    Fixture fixture;

    auto applied = fixture.controller().apply({"a.com"}, c.duration, session);

    if (c.accepted) {
      EXPECT_TRUE(applied);
      EXPECT_EQ(fixture.writes, 1);
    } else {
      ASSERT_FALSE(applied);
      EXPECT_EQ(applied.error(), Error(DaemonError::durationOutOfRange));
      EXPECT_EQ(fixture.writes, 0);
      EXPECT_EQ(fixture.contents(), base);
      EXPECT_EQ(fixture.flushCount(), 0u);
    }
  }
}

TEST(BlockController, InvalidDomainListsAreRefusedBeforeTheFileIsTouched) {
  struct Case {
    const char* name;
    std::vector<std::string> domains;
    DaemonError error;
  };
  std::vector<std::string> tooMany;
  for (int i = 0; i < 501; ++i) tooMany.push_back("d" + std::to_string(i) + ".com");
  const Case cases[] = {
      {"empty list", {}, DaemonError::invalidDomain},
      {"line break in a domain", {"a.com\n# END HUSHWALL"}, DaemonError::invalidDomain},
      {"space", {"a com"}, DaemonError::invalidDomain},
      {"501 domains", tooMany, DaemonError::tooManyDomains},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture fixture;
    auto applied = fixture.controller().apply(c.domains, 3600, session);

    ASSERT_FALSE(applied);
    EXPECT_EQ(applied.error(), Error(c.error));
    EXPECT_EQ(fixture.writes, 0);
    EXPECT_EQ(fixture.contents(), base);
  }
}

TEST(BlockController, AnExistingBlockIsNeverOverwritten) {
  const std::string blocked = base + HostsDocument::renderBlock({"old.com"}, Uuid::random());
  Fixture fixture(blocked);
  CapturingLogSink logs;

  auto applied = fixture.controller().apply({"a.com"}, 3600, session);

  ASSERT_FALSE(applied);
  EXPECT_EQ(applied.error(), Error(DaemonError::sessionAlreadyActive));
  EXPECT_EQ(fixture.contents(), blocked);
  EXPECT_EQ(fixture.writes, 0);
  EXPECT_EQ(fixture.flushCount(), 0u);
  EXPECT_THAT(logs.messages(), IsEmpty());
}

TEST(BlockController, ApplyKeepsTheTextAndAddsOneLineFeedWhereItIsMissing) {
  Fixture fixture("127.0.0.1\tlocalhost");
  ASSERT_TRUE(fixture.controller().apply({"a.com"}, 60, session));
  EXPECT_EQ(fixture.contents(), "127.0.0.1\tlocalhost\n" + HostsDocument::renderBlock({"a.com"}, session));
}

TEST(BlockController, ABeginMarkerWithoutEndIsNoBlock) {
  Fixture fixture(base + "# BEGIN HUSHWALL\n");

  EXPECT_EQ(fixture.controller().hasActiveBlock(), false);
  ASSERT_TRUE(fixture.controller().apply({"a.com"}, 60, session));
  EXPECT_EQ(fixture.contents(), base + "# BEGIN HUSHWALL\n" + HostsDocument::renderBlock({"a.com"}, session));
}

TEST(BlockController, FileErrorsAreReturnedAndNothingIsFlushedOrLogged) {
  Fixture fixture;
  ASSERT_EQ(::unlink(fixture.hostsPath.c_str()), 0);
  CapturingLogSink logs;
  BlockController controller = fixture.controller();

  for (const auto& result : {controller.apply({"a.com"}, 60, session), controller.removeIfPresent()}) {
    ASSERT_FALSE(result);
    const auto* error = std::get_if<SystemError>(&result.error());
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(error->isNoSuchFile());
  }
  auto present = controller.hasActiveBlock();
  ASSERT_FALSE(present);
  EXPECT_TRUE(std::get<SystemError>(present.error()).isNoSuchFile());
  EXPECT_EQ(fixture.flushCount(), 0u);
  EXPECT_THAT(logs.messages(), IsEmpty());
}

TEST(BlockController, AFailedWriteLeavesTheFileAndIsReturned) {
  Fixture fixture;
  HostsFile::Syscalls failing = HostsFile::Syscalls::live();
  failing.rename = [](const std::string&, const std::string&) -> Result<void> {
    return std::unexpected(HostsFileError::renameFailed(EROFS));
  };

  auto applied = fixture.controller(true, failing).apply({"a.com"}, 60, session);

  ASSERT_FALSE(applied);
  EXPECT_EQ(applied.error(), Error(HostsFileError::renameFailed(EROFS)));
  EXPECT_EQ(fixture.contents(), base);
  EXPECT_EQ(fixture.flushCount(), 0u);
}

TEST(BlockController, RemovalWithoutABlockWritesFlushesAndLogsNothing) {
  Fixture fixture;
  CapturingLogSink logs;

  ASSERT_TRUE(fixture.controller().removeIfPresent());

  EXPECT_EQ(fixture.writes, 0);
  EXPECT_EQ(fixture.flushCount(), 0u);
  EXPECT_THAT(logs.messages(), IsEmpty());
}

TEST(BlockController, RemovalTakesEveryBlockInOneWrite) {
  std::string one = HostsDocument::renderBlock({"a.com"}, session);
  Fixture fixture("x\n" + one + "y\n" + one);
  CapturingLogSink logs;

  ASSERT_TRUE(fixture.controller().removeIfPresent());

  EXPECT_EQ(fixture.contents(), "x\ny\n");
  EXPECT_EQ(fixture.writes, 1);
  EXPECT_EQ(fixture.flushCount(), 1u);
  EXPECT_THAT(logs.messages("block"), ElementsAre("removed block"));
  EXPECT_EQ(fixture.controller().hasActiveBlock(), false);
}

TEST(BlockController, ARemovalThatDoesNotStickIsUnverified) {
  std::string blocked = base + HostsDocument::renderBlock({"a.com"}, session);
  Fixture fixture(blocked);
  HostsFile::Syscalls lost = HostsFile::Syscalls::live();
  // The write reports success but never reaches the file, as when another
  // writer puts the old bytes straight back.
  lost.rename = [&](const std::string& from, const std::string&) -> Result<void> {
    ::unlink(from.c_str());
    return {};
  };
  CapturingLogSink logs;

  auto removed = fixture.controller(true, lost).removeIfPresent();

  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error(), Error(DaemonError::removalUnverified));
  EXPECT_EQ(fixture.contents(), blocked);
  EXPECT_EQ(fixture.flushCount(), 0u);
  EXPECT_THAT(logs.messages(), IsEmpty());
}

TEST(BlockController, WithoutFlushingNoToolRuns) {
  Fixture fixture;
  BlockController controller = fixture.controller(false);

  ASSERT_TRUE(controller.apply({"a.com"}, 60, session));
  ASSERT_TRUE(controller.removeIfPresent());

  EXPECT_EQ(fixture.writes, 2);
  EXPECT_EQ(fixture.flushCount(), 0u);
  EXPECT_EQ(fixture.contents(), base);
}

// Two starts racing on one file: the lock makes the read-check-write of one
// finish before the other reads, so exactly one block is written.
TEST(BlockController, ConcurrentAppliesWriteExactlyOneBlock) {
  Fixture fixture;
  BlockController first = fixture.controller(false);
  BlockController second = fixture.controller(false);
  std::vector<Result<void>> results(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = (i % 2 ? first : second).apply({"a.com"}, 60, Uuid::random()); });
  }
  for (auto& thread : threads) thread.join();

  auto succeeded = std::count_if(results.begin(), results.end(), [](const auto& r) { return r.has_value(); });
  EXPECT_EQ(succeeded, 1);
  for (const auto& result : results) {
    if (!result) {
      EXPECT_EQ(result.error(), Error(DaemonError::sessionAlreadyActive));
    }
  }
  EXPECT_EQ(HostsRegions::ranges(fixture.contents()).size(), 1u);
}

TEST(BlockController, TheMutationLockIsOneForTheWholeProcess) {
  EXPECT_EQ(&BlockController::mutationLock(), &BlockController::mutationLock());
  std::unique_lock held(BlockController::mutationLock());
  EXPECT_TRUE(BlockController::mutationLock().isHeldByCurrentThread());
  std::thread([] { EXPECT_FALSE(BlockController::mutationLock().try_lock()); }).join();
  held.unlock();
  EXPECT_FALSE(BlockController::mutationLock().isHeldByCurrentThread());
}

TEST(BlockControllerDeathTest, TakingTheMutationLockTwiceOnOneThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::lock_guard outer(BlockController::mutationLock());
        std::lock_guard inner(BlockController::mutationLock());
      },
      "UnfairLock taken again");
}

TEST(BlockController, DefaultsToTheMachinesHostsFileAndFlushes) {
  BlockController controller;
  EXPECT_EQ(controller.hostsFile().path(), HostsFile(systemPaths().hostsFile).path());
  EXPECT_TRUE(controller.flushesDNS());
}

}  // namespace
}  // namespace hushwall
