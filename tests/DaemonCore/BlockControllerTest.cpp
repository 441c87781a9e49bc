#include "DaemonCore/BlockController.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "DaemonCore/HostsDocument.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::CapturingLogSink;
using testing::TemporaryDirectory;

const Uuid session = *Uuid::parse("0F5E2A4C-1B3D-4E6F-8A9B-C0D1E2F3A4B5");
const std::string base = "127.0.0.1\tlocalhost\n";

// A hosts file in a temporary folder and controllers on it that count the
// file's replacements and the DNS flushes (a stand-in tool that logs its runs).
struct Fixture {
  TemporaryDirectory dir;
  std::string hosts = dir.file("hosts");
  int writes = 0;

  explicit Fixture(const std::string& contents = base) {
    testing::writeFile(hosts, contents);
    testing::writeFile(dir.file("tool"), "#!/bin/sh\necho >> '" + dir.file("runs") + "'\n", 0755);
  }
  BlockController controller(bool flushesDNS = true,
                             std::function<Result<void>(const std::string&, const std::string&)> rename = {}) {
    HostsFile::Syscalls syscalls = HostsFile::Syscalls::live();
    syscalls.createTemp = [this](const std::string& path) {
      ++writes;
      return HostsFile::Syscalls::live().createTemp(path);
    };
    if (rename) syscalls.rename = std::move(rename);
    return BlockController(HostsFile(hosts, syscalls), flushesDNS, DNSCache(dir.file("tool"), dir.file("tool")));
  }
  [[nodiscard]] std::size_t flushes() const {
    if (::access(dir.file("runs").c_str(), F_OK) != 0) return 0;
    return testing::readFile(dir.file("runs")).size() / 2;  // two tool runs per flush
  }
  [[nodiscard]] std::string contents() const { return testing::readFile(hosts); }
};

TEST(BlockController, ApplyWritesTheValidatedDomainsThenFlushesAndLogs) {
  Fixture fixture("127.0.0.1\tlocalhost");
  CapturingLogSink logs;

  ASSERT_TRUE(fixture.controller().apply({"Example.COM", "news.org", "example.com"}, 3600, session));

  EXPECT_EQ(fixture.contents(), HostsDocument::renderBlock({"example.com", "news.org"}, session) + "127.0.0.1\tlocalhost");
  EXPECT_EQ(fixture.flushes(), 1u);
  EXPECT_EQ(logs.messages("block"),
            std::vector<std::string>{"blocked 2 domains, session 0F5E2A4C-1B3D-4E6F-8A9B-C0D1E2F3A4B5"});
  EXPECT_EQ(fixture.controller().hasActiveBlock(), true);
}

TEST(BlockController, ApplyRefusesWithoutTouchingTheFile) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string existing = base + HostsDocument::renderBlock({"old.com"}, Uuid::random());
  std::vector<std::string> tooMany(501);
  for (std::size_t i = 0; i < tooMany.size(); ++i) tooMany[i] = "d" + std::to_string(i) + ".com";
  struct Row {
    const char* name;
    std::string file;
    std::vector<std::string> domains;
    double duration;
    Error error;
  };
  const Row rows[] = {
      {"just under a minute", base, {"a.com"}, std::nextafter(60.0, 0.0), DaemonError::durationOutOfRange},
      {"not a number", base, {"a.com"}, nan, DaemonError::durationOutOfRange},
      {"a line break in a domain", base, {"a.com\n# END HUSHWALL"}, 60, DaemonError::invalidDomain},
      {"501 domains", base, tooMany, 60, DaemonError::tooManyDomains},
      {"a block already there", existing, {"a.com"}, 86400, DaemonError::sessionAlreadyActive},
      {"a failed rename", base, {"a.com"}, 60, HostsFileError::renameFailed(EROFS)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Fixture fixture(row.file);
    CapturingLogSink logs;
    auto readOnly = [](const std::string&, const std::string&) -> Result<void> {
      return std::unexpected(HostsFileError::renameFailed(EROFS));
    };

    auto applied = fixture.controller(true, readOnly).apply(row.domains, row.duration, session);

    EXPECT_EQ(applied, Result<void>(std::unexpected(row.error)));
    EXPECT_EQ(fixture.contents(), row.file);
    EXPECT_EQ(fixture.writes, std::holds_alternative<HostsFileError>(row.error) ? 1 : 0);
    EXPECT_EQ(fixture.flushes(), 0u);
    EXPECT_TRUE(logs.messages().empty());
  }
}

TEST(BlockController, RemovalTakesEveryBlockInOneWriteAndNothingWithoutOne) {
  std::string one = HostsDocument::renderBlock({"a.com"}, session);
  Fixture fixture("x\n" + one + "y\n# BEGIN HUSHWALL\n" + one);
  CapturingLogSink logs;

  ASSERT_TRUE(fixture.controller().removeIfPresent());
  ASSERT_TRUE(fixture.controller().removeIfPresent());

  EXPECT_EQ(fixture.contents(), "x\ny\n# BEGIN HUSHWALL\n");
  EXPECT_EQ(fixture.writes, 1);
  EXPECT_EQ(fixture.flushes(), 1u);
  EXPECT_EQ(logs.messages("block"), std::vector<std::string>{"removed block"});
  EXPECT_EQ(fixture.controller().hasActiveBlock(), false);
}

TEST(BlockController, ARemovalThatDoesNotReachTheFileIsUnverified) {
  std::string blocked = HostsDocument::renderBlock({"a.com"}, session) + base;
  Fixture fixture(blocked);
  // The rename reports success but the file keeps its bytes, as when another
  // writer puts the block straight back.
  auto lost = [](const std::string& from, const std::string&) -> Result<void> { return ::unlink(from.c_str()), Result<void>(); };

  EXPECT_EQ(fixture.controller(true, lost).removeIfPresent(),
            Result<void>(std::unexpected(DaemonError::removalUnverified)));
  EXPECT_EQ(fixture.contents(), blocked);
  EXPECT_EQ(fixture.flushes(), 0u);
}

TEST(BlockController, FileErrorsAreReturnedAndFlushingCanBeSwitchedOff) {
  Fixture fixture;
  BlockController quiet = fixture.controller(false);
  ASSERT_TRUE(quiet.apply({"a.com"}, 60, session));
  ASSERT_TRUE(quiet.removeIfPresent());
  EXPECT_EQ(fixture.writes, 2);
  EXPECT_EQ(fixture.flushes(), 0u);

  ASSERT_EQ(::unlink(fixture.hosts.c_str()), 0);
  SystemError missing = SystemError::fromErrno(ENOENT, "open", fixture.hosts);
  EXPECT_EQ(quiet.apply({"a.com"}, 60, session), Result<void>(std::unexpected(missing)));
  EXPECT_EQ(quiet.removeIfPresent(), Result<void>(std::unexpected(missing)));
  EXPECT_EQ(quiet.hasActiveBlock(), Result<bool>(std::unexpected(missing)));
}

// Starts racing on one file: each read-check-write finishes before the next
// read, so exactly one block is written.
TEST(BlockController, ConcurrentAppliesWriteExactlyOneBlock) {
  Fixture fixture;
  std::vector<Result<void>> results(8);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] { result = fixture.controller(false).apply({"a.com"}, 60, Uuid::random()); });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(std::count(results.begin(), results.end(), Result<void>()), 1);
  EXPECT_EQ(std::count(results.begin(), results.end(), Result<void>(std::unexpected(DaemonError::sessionAlreadyActive))), 7);
  EXPECT_EQ(HostsRegions::ranges(fixture.contents()).size(), 1u);
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

}  // namespace
}  // namespace hushwall
