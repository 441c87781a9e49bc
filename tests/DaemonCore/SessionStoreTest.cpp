#include "DaemonCore/SessionStore.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::TemporaryDirectory;
using testing::readFile;

SessionState sampleSession(std::int64_t schemaVersion = 3) {
  SessionState state;
  state.schemaVersion = schemaVersion;
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

TEST(SessionStore, SavedRecordLoadsBackEqualFromARootOnlyFile) {
  TemporaryDirectory root;
  SessionStore store(root.file("state"));
  EXPECT_EQ(store.fileURL(), root.file("state/session.json"));

  ASSERT_TRUE(store.save(sampleSession()));

  EXPECT_TRUE(store.exists());
  EXPECT_EQ(store.load(), sampleSession());
  EXPECT_EQ(testing::fileMode(store.fileURL()), 0600);
  EXPECT_EQ(testing::fileMode(store.directory()), 0700);
}

TEST(SessionStore, AnAbsentFileIsNoSessionAndRemovingItTwiceSucceeds) {
  TemporaryDirectory dir;
  SessionStore store(dir.path());
  ASSERT_TRUE(store.save(sampleSession()));

  EXPECT_TRUE(store.remove());
  EXPECT_TRUE(store.remove());

  EXPECT_FALSE(store.exists());
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_TRUE(SessionStore(dir.file("never-created")).remove());
}

TEST(SessionStore, ReadsVersionsOneToThreeAsThreeAndRefusesEverythingElseInPlace) {
  const std::string valid = sampleSession().encoded();
  struct Row {
    const char* name;
    std::string bytes;
    bool readable;
  };
  const Row rows[] = {
      {"version 1", sampleSession(1).encoded(), true},
      {"version 2", sampleSession(2).encoded(), true},
      {"version 0", sampleSession(0).encoded(), false},
      {"version 4", sampleSession(4).encoded(), false},
      {"empty file", "", false},
      {"truncated", valid.substr(0, valid.size() / 2), false},
      {"trailing bytes", valid + "x", false},
      {"NUL byte", std::string("{\0}", 3), false},
      {"a directory", "(directory)", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TemporaryDirectory dir;
    SessionStore store(dir.path());
    if (row.bytes == "(directory)") {
      ASSERT_EQ(::mkdir(store.fileURL().c_str(), 0700), 0);
    } else {
      testing::writeFile(store.fileURL(), row.bytes, 0600);
    }

    auto loaded = store.load();

    if (row.readable) {
      EXPECT_EQ(loaded, sampleSession(3));
      EXPECT_EQ(readFile(store.fileURL()), row.bytes) << "a load never rewrites the file";
    } else {
      EXPECT_EQ(loaded, (Result<std::optional<SessionState>>(std::unexpected(DaemonError::stateUnreadable))));
      EXPECT_TRUE(store.exists());
    }
  }
}

}  // namespace
}  // namespace hushwall
