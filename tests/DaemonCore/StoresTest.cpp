// The two stores on real files: "session.json" (read strictly, never moved)
// and "schedules.json" (an unusable file is moved aside with its reason).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "DaemonCore/ScheduleStore.hpp"
#include "DaemonCore/SessionStore.hpp"
#include "HushwallCore/Json.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::CapturingLogSink;
using ::testing::ElementsAre;
using testing::fixedID;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::weeklySchedule;
using testing::writeFile;

SessionState sampleSession(std::int64_t schemaVersion = 3) {
  SessionState state;
  state.schemaVersion = schemaVersion;
  state.id = fixedID(5);
  state.domains = {"example.com"};
  state.totalDuration = 3600;
  state.consumed = 125.5;
  state.lastTick = Tick{Date{700000000}, Date{699990000}, 8125.25, "boot-1"};
  state.startedAt = Date{699999874.5};
  return state;
}

ScheduleSet twoSchedules() {
  return ScheduleSet{3, {weeklySchedule({2}, 600, 3600, 1), weeklySchedule({3, 5}, 0, 86400, 2)}, {}, {}};
}

std::string setFile(std::int64_t version, void (*change)(Json& json) = nullptr) {
  Json json = twoSchedules().toJson();
  json["schemaVersion"] = version;
  if (change != nullptr) change(json);
  return json.dump();
}

// Versions 1 to 3 load as 3 and the file stays as it was; everything else is
// stateUnreadable, logged with its cause, and the file stays too.
TEST(SessionStore, ReadsKnownVersionsAndRefusesEverythingElseInPlace) {
  const std::string valid = sampleSession().encoded();
  const std::pair<std::string, std::string> rows[] = {
      {sampleSession(1).encoded(), ""},
      {sampleSession(2).encoded(), ""},
      {sampleSession(4).encoded(), "session.json unreadable: schema version 4 is not one we read"},
      {valid.substr(0, valid.size() / 2), "session.json unreadable: "},
      {"(directory)", "session.json unreadable: read @: Is a directory"},
  };
  for (const auto& [bytes, log] : rows) {
    SCOPED_TRACE(bytes);
    TemporaryDirectory dir;
    SessionStore store(dir.path());
    if (bytes == "(directory)") {
      ASSERT_EQ(::mkdir(store.path().c_str(), 0700), 0);
    } else {
      writeFile(store.path(), bytes, 0600);
    }
    CapturingLogSink logs;
    auto loaded = store.load();
    if (log.empty()) {
      EXPECT_EQ(loaded, sampleSession(3));
      EXPECT_EQ(readFile(store.path()), bytes) << "a load never rewrites the file";
      continue;
    }
    EXPECT_EQ(loaded, (Result<std::optional<SessionState>>(std::unexpected(DaemonError::stateUnreadable))));
    EXPECT_TRUE(store.exists());
    ASSERT_EQ(logs.messages("store").size(), 1u);
    std::string expected = log;
    if (auto at = expected.find('@'); at != std::string::npos) expected.replace(at, 1, store.path());
    EXPECT_THAT(logs.messages("store")[0], ::testing::StartsWith(expected));
  }
}

TEST(Stores, SaveLoadAndRemoveTwice) {
  TemporaryDirectory dir;
  SessionStore sessions(dir.file("state"));
  ASSERT_TRUE(sessions.save(sampleSession()));
  EXPECT_EQ(sessions.load(), sampleSession());
  ScheduleStore schedules(dir.file("state"));
  ScheduleSet set = twoSchedules();
  set.schedules[0].name = "  Mornings \n";
  ASSERT_TRUE(schedules.save(set));
  // The validated set is written, at the lowest version that holds it.
  EXPECT_EQ(Json::parse(readFile(schedules.path()))["schemaVersion"], 2);
  EXPECT_EQ(schedules.load(), ScheduleStore::Load(*set.validated()));
  set.schedules[1].blocklists.emplace_back(fixedID(77), "News");
  ASSERT_TRUE(schedules.save(set));
  EXPECT_EQ(Json::parse(readFile(schedules.path()))["schemaVersion"], 3);

  ASSERT_TRUE(sessions.remove());
  ASSERT_TRUE(sessions.remove());
  ASSERT_TRUE(schedules.save(ScheduleSet{3, {}, {{fixedID(1), Date{5}}}, {}}));  // records alone keep no file
  ASSERT_TRUE(schedules.remove());
  EXPECT_EQ(sessions.load(), std::nullopt);
  EXPECT_EQ(schedules.load(), ScheduleStore::Load(ScheduleStore::None{}));
  EXPECT_EQ(TemporaryDirectory::directoryNames(dir.file("state")), std::vector<std::string>{});
}

TEST(ScheduleStore, ReadsVersionsOneToThreeAndDropsRecordsOfUnknownIds) {
  for (std::int64_t version : {1, 2, 3}) {
    SCOPED_TRACE(version);
    TemporaryDirectory dir;
    writeFile(dir.file("schedules.json"), setFile(version, [](Json& json) {
                json["schedules"][0].erase("blocklists");
                json["lastFired"] = {fixedID(1).string(), 10, fixedID(99).string(), 20};
              }));
    auto loaded = ScheduleStore(dir.path()).load();
    ASSERT_TRUE(std::holds_alternative<ScheduleSet>(loaded));
    const ScheduleSet& set = std::get<ScheduleSet>(loaded);
    EXPECT_EQ(set.schemaVersion, 3);
    EXPECT_EQ(set.schedules[0].blocklists, twoSchedules().schedules[0].blocklists);
    EXPECT_EQ(set.lastFired, (std::map<Uuid, Date>{{fixedID(1), Date{10}}}));
  }
}

TEST(ScheduleStore, EveryUnusableFileIsMovedAsideWithItsReason) {
  const std::pair<std::string, std::string> cases[] = {
      {"(directory)", "read @: Is a directory"},
      {"", "the file could not be decoded"},
      {setFile(4), "schema version 4 is not one we read"},
      {setFile(3, [](Json& json) { json["schedules"][0]["startMinute"] = 1440; }),
       "a schedule in the file is no longer one we would accept"},
  };
  for (const auto& [bytes, why] : cases) {
    SCOPED_TRACE(why);
    TemporaryDirectory dir;
    writeFile(dir.file("schedules.json.broken"), "older");
    int syncs = 0;
    FileIO::Steps steps = FileIO::Steps::live();
    steps.syncDirectory = [&](const std::string&) { ++syncs; };
    ScheduleStore store(dir.path(), steps);
    if (bytes == "(directory)") {
      ASSERT_EQ(::mkdir(store.path().c_str(), 0700), 0);
    } else {
      writeFile(store.path(), bytes);
    }
    std::string reason = why;
    if (auto at = reason.find('@'); at != std::string::npos) reason.replace(at, 1, store.path());
    CapturingLogSink logs;
    EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::Quarantined{reason}));
    EXPECT_THAT(dir.names(), ElementsAre("schedules.json.broken"));
    if (bytes != "(directory)") {
      EXPECT_EQ(readFile(store.brokenPath()), bytes);
    }
    EXPECT_EQ(syncs, 1);
    EXPECT_THAT(logs.messages("schedules"),
                ElementsAre("schedules.json unusable (" + reason + ") \u2014 moving it aside"));
    EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::None{})) << "nothing is left to find";
  }

  TemporaryDirectory dir;
  FileIO::Steps stuck = FileIO::Steps::live();
  stuck.move = [](const std::string&, const std::string& to) -> Result<void> {
    return std::unexpected(SystemError::fromErrno(EROFS, "rename", to));
  };
  ScheduleStore store(dir.path(), stuck);
  writeFile(store.path(), "{}");
  CapturingLogSink logs;
  EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::Quarantined{"the file could not be decoded"}));
  EXPECT_EQ(logs.messages("schedules").back(),
            "could not move schedules.json aside: rename " + store.brokenPath() + ": Read-only file system");
  EXPECT_EQ(readFile(store.path()), "{}");
}

TEST(ScheduleStore, AFailedSaveLeavesTheFileByteForByte) {
  TemporaryDirectory dir;
  ASSERT_TRUE(ScheduleStore(dir.path()).save(twoSchedules()));
  const std::string before = readFile(dir.file("schedules.json"));
  FileIO::Steps steps = FileIO::Steps::live();
  steps.rename = [](const std::string&, const std::string& to) -> Result<void> {
    return std::unexpected(WriterError::renameFailed(to, EXDEV));
  };
  ScheduleStore store(dir.path(), steps);
  ScheduleSet bad = twoSchedules();
  bad.schedules[1].duration = 30;
  EXPECT_EQ(store.save(bad).error(), Error(DaemonError::invalidSchedule));
  bad.schedules[1].duration = 3600;
  EXPECT_EQ(store.save(bad).error(), Error(WriterError::renameFailed(store.path(), EXDEV)));
  EXPECT_EQ(readFile(store.path()), before);
  EXPECT_THAT(dir.names(), ElementsAre("schedules.json"));
}

}  // namespace
}  // namespace hushwall
