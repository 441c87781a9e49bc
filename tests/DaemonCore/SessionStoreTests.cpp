#include "DaemonCore/SessionStore.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::TemporaryDirectory;
using testing::fileMode;
using testing::readFile;
using testing::writeFile;

SessionState sampleSession() {
  SessionState state;
  state.id = *Uuid::parse("0F5E2A4C-1B3D-4E6F-8A9B-C0D1E2F3A4B5");
  state.domains = {"example.com", "news.example.org"};
  state.totalDuration = 3600;
  state.consumed = 125.5;
  state.lastTick = Tick{Date{700000000}, Date{699990000}, 8125.25, "boot-1"};
  state.startedAt = Date{699999874.5};
  state.scheduleID = *Uuid::parse("11111111-2222-4333-8444-555555555555");
  state.scheduleName = "Mornings";
  return state;
}

Error errorOf(const Result<std::optional<SessionState>>& loaded) {
  EXPECT_FALSE(loaded.has_value());
  return loaded ? Error(DaemonError::invalidDomain) : loaded.error();
}

TEST(SessionStore, LivesInTheStateDirectory) {
  SessionStore store("/var/lib/org.hushwall.daemon");
  EXPECT_EQ(store.fileURL(), "/var/lib/org.hushwall.daemon/session.json");
  EXPECT_EQ(store.directory(), "/var/lib/org.hushwall.daemon");
}

TEST(SessionStore, SavedRecordLoadsBackEqualFromARootOnlyFile) {
  TemporaryDirectory root;
  SessionStore store(root.file("state"));

  ASSERT_TRUE(store.save(sampleSession()));

  EXPECT_TRUE(store.exists());
  EXPECT_EQ(store.load(), sampleSession());
  EXPECT_EQ(fileMode(store.fileURL()), 0600);
  EXPECT_EQ(fileMode(root.file("state")), 0700);
  EXPECT_EQ(readFile(store.fileURL()), sampleSession().encoded());
}

TEST(SessionStore, WithoutAFileThereIsNoSessionAndRemovalSucceeds) {
  TemporaryDirectory root;
  SessionStore store(root.file("never-created"));

  EXPECT_FALSE(store.exists());
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_TRUE(store.remove());
  EXPECT_TRUE(store.remove());
}

TEST(SessionStore, RemoveTwiceSucceedsAndLeavesNoSession) {
  TemporaryDirectory dir;
  SessionStore store(dir.path());
  ASSERT_TRUE(store.save(sampleSession()));

  EXPECT_TRUE(store.remove());
  EXPECT_TRUE(store.remove());

  EXPECT_FALSE(store.exists());
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_THAT(dir.names(), ::testing::IsEmpty());
}

TEST(SessionStore, OlderSchemaVersionsLoadAsTheCurrentOneAndOthersAreRefused) {
  struct Case {
    std::int64_t stored;
    bool readable;
  };
  const Case cases[] = {{1, true}, {2, true}, {3, true}, {0, false}, {-1, false}, {4, false}, {7, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    TemporaryDirectory dir;
    SessionStore store(dir.path());
    SessionState stored = sampleSession();
    stored.schemaVersion = c.stored;
    writeFile(store.fileURL(), stored.encoded(), 0600);

    auto loaded = store.load();

    if (c.readable) {
      SessionState expected = sampleSession();
      expected.schemaVersion = 3;
      EXPECT_EQ(loaded, expected);
      EXPECT_EQ(readFile(store.fileURL()), stored.encoded()) << "a load must not rewrite the file";
    } else {
      EXPECT_EQ(errorOf(loaded), Error(DaemonError::stateUnreadable));
    }
  }
}

TEST(SessionStore, UnreadableOrUndecodableFilesAreStateUnreadableAndStayInPlace) {
  std::string valid = sampleSession().encoded();
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"truncated", valid.substr(0, valid.size() / 2)},
      {"not JSON", "session"},
      {"wrong type", R"({"schemaVersion":"3"})"},
      {"array", "[]"},
      {"trailing bytes", valid + "x"},
      {"NUL bytes", std::string("{\0}", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryDirectory dir;
    SessionStore store(dir.path());
    writeFile(store.fileURL(), c.bytes, 0600);

    EXPECT_EQ(errorOf(store.load()), Error(DaemonError::stateUnreadable));
    EXPECT_TRUE(store.exists());
    EXPECT_EQ(readFile(store.fileURL()), c.bytes);
  }
}

TEST(SessionStore, ADirectoryInPlaceOfTheFileIsUnreadableNotAbsent) {
  TemporaryDirectory dir;
  SessionStore store(dir.path());
  ASSERT_EQ(::mkdir(store.fileURL().c_str(), 0700), 0);

  EXPECT_EQ(errorOf(store.load()), Error(DaemonError::stateUnreadable));
  EXPECT_TRUE(store.exists());
}

TEST(SessionStore, FailedSaveKeepsThePreviousRecord) {
  TemporaryDirectory dir;
  RootOwnedFile::Syscalls failing = RootOwnedFile::Syscalls::live();
  failing.rename = [](const std::string&, const std::string&) -> Result<void> {
    return std::unexpected(RootFileError::renameFailed(EIO));
  };
  SessionStore good(dir.path());
  ASSERT_TRUE(good.save(sampleSession()));
  SessionStore store(dir.path(), failing);
  SessionState changed = sampleSession();
  changed.consumed = 3000;

  auto saved = store.save(changed);

  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), Error(RootFileError::renameFailed(EIO)));
  EXPECT_EQ(store.load(), sampleSession());
  EXPECT_THAT(dir.names(), ::testing::ElementsAre("session.json"));
}

TEST(SessionStore, RemovalSyncsTheDirectoryOnlyAfterARemoval) {
  TemporaryDirectory dir;
  std::vector<std::string> synced;
  RootOwnedFile::Syscalls recording = RootOwnedFile::Syscalls::live();
  recording.syncDirectory = [&](const std::string& path) { synced.push_back(path); };
  SessionStore store(dir.path(), recording);
  ASSERT_TRUE(store.save(sampleSession()));
  synced.clear();

  ASSERT_TRUE(store.remove());
  ASSERT_TRUE(store.remove());

  EXPECT_THAT(synced, ::testing::ElementsAre(dir.path()));
}

TEST(SessionStore, RemovalFailureIsReturnedUnchanged) {
  TemporaryDirectory dir;
  RootOwnedFile::Syscalls failing = RootOwnedFile::Syscalls::live();
  SystemError refused = SystemError::fromErrno(EACCES, "unlink", "session.json");
  failing.removeFile = [&](const std::string&) -> Result<void> { return std::unexpected(refused); };
  SessionStore store(dir.path(), failing);
  ASSERT_TRUE(store.save(sampleSession()));

  auto removed = store.remove();

  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error(), Error(refused));
  EXPECT_TRUE(store.exists());
}

}  // namespace
}  // namespace hushwall
