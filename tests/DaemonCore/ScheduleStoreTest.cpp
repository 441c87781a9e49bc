// "schedules.json" on real files in a temporary directory, with single
// file-system steps failed through the store's Syscalls.
#include "DaemonCore/ScheduleStore.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "HushwallCore/Json.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

using testing::CapturingLogSink;
using testing::fixedID;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::weeklySchedule;
using testing::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string unusableLine(const std::string& reason) {
  return "schedules.json unusable (" + reason + ") \u2014 moving it aside";
}

ScheduleSet oneListSet() {
  return ScheduleSet{3, {weeklySchedule({2}, 600, 3600, 1), weeklySchedule({3, 5}, 0, 86400, 2)}, {}, {}};
}

// The set as a file would hold it, with a chosen version and one change to the first schedule.
std::string fileWith(std::int64_t version, void (*change)(Json& schedule) = nullptr) {
  Json json = oneListSet().toJson();
  json["schemaVersion"] = version;
  if (change != nullptr) change(json["schedules"][0]);
  return json.dump();
}

struct Counting {
  int syncs = 0;
  RootOwnedFile::Syscalls calls = RootOwnedFile::Syscalls::live();
  Counting() {
    calls.syncDirectory = [this](const std::string& directory) {
      ++syncs;
      RootOwnedFile::Syscalls::live().syncDirectory(directory);
    };
  }
};

TEST(ScheduleStore, NoFileIsNoneAndSaysNothing) {
  TemporaryDirectory dir;
  CapturingLogSink logs;
  ScheduleStore store(dir.path());
  EXPECT_EQ(store.fileURL(), dir.file("schedules.json"));
  EXPECT_EQ(store.brokenFileURL(), dir.file("schedules.json.broken"));
  EXPECT_FALSE(store.exists());
  EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::None{}));
  EXPECT_EQ(store.loadSchedules(), ScheduleSet{});
  // A state directory that does not exist yet is the same.
  EXPECT_EQ(ScheduleStore(dir.file("missing")).load(), ScheduleStore::Load(ScheduleStore::None{}));
  EXPECT_THAT(logs.messages(), IsEmpty());
  EXPECT_THAT(dir.names(), IsEmpty());
}

TEST(ScheduleStore, SavesTheLowestVersionAndLoadsTheValidatedSet) {
  TemporaryDirectory dir;
  CapturingLogSink logs;
  ScheduleStore store(dir.file("state"));
  ScheduleSet set = oneListSet();
  set.schedules[0].name = "  Mornings \n";
  set.lastFired[set.schedules[0].id] = Date{100};
  set.record({Date{100}, ScheduleRun::Outcome::ran, 3000}, set.schedules[0].id);

  ASSERT_TRUE(store.save(set));
  EXPECT_TRUE(store.exists());
  EXPECT_EQ(testing::fileMode(store.fileURL()), 0600);
  Json written = Json::parse(readFile(store.fileURL()));
  EXPECT_EQ(written["schemaVersion"], 2);
  EXPECT_EQ(written["schedules"][0]["name"], "Mornings");  // the validated set is what is written

  auto loaded = store.load();
  ASSERT_TRUE(std::holds_alternative<ScheduleSet>(loaded));
  EXPECT_EQ(std::get<ScheduleSet>(loaded), *set.validated());
  EXPECT_EQ(std::get<ScheduleSet>(loaded).schemaVersion, 3);

  // A second list on one schedule needs version 3.
  set.schedules[1].blocklists.emplace_back(fixedID(77), "News");
  ASSERT_TRUE(store.save(set));
  EXPECT_EQ(Json::parse(readFile(store.fileURL()))["schemaVersion"], 3);
  EXPECT_EQ(store.loadSchedules(), *set.validated());
  EXPECT_THAT(logs.messages(), IsEmpty());
}

TEST(ScheduleStore, ReadsEveryVersionItKnows) {
  // Version 1 and 2 files carry only the single-list pair.
  for (std::int64_t version : {1, 2, 3}) {
    SCOPED_TRACE(version);
    TemporaryDirectory dir;
    writeFile(dir.file("schedules.json"), fileWith(version, [](Json& schedule) { schedule.erase("blocklists"); }));
    ScheduleSet loaded = ScheduleStore(dir.path()).loadSchedules();
    EXPECT_EQ(loaded.schemaVersion, 3);
    ASSERT_EQ(loaded.schedules.size(), 2u);
    EXPECT_EQ(loaded.schedules[0].blocklists, oneListSet().schedules[0].blocklists);
  }
}

TEST(ScheduleStore, EveryUnusableFileIsMovedAsideWithItsReason) {
  struct Case {
    const char* what;
    void (*make)(const std::string& path);
    std::string (*reason)(const std::string& path);
  };
  const Case cases[] = {
      {"a directory where the file belongs", [](const std::string& path) { ::mkdir(path.c_str(), 0700); },
       [](const std::string& path) { return "read " + path + ": Is a directory"; }},
      {"an empty file", [](const std::string& path) { writeFile(path, ""); },
       [](const std::string&) { return std::string("the file could not be decoded"); }},
      {"an odd lastFired array",
       [](const std::string& path) {
         Json json = Json::parse(fileWith(3));
         json["lastFired"] = {fixedID(1).string()};
         writeFile(path, json.dump());
       },
       [](const std::string&) { return std::string("the file could not be decoded"); }},
      {"schema version 4", [](const std::string& path) { writeFile(path, fileWith(4)); },
       [](const std::string&) { return std::string("schema version 4 is not one we read"); }},
      {"schema version -7", [](const std::string& path) { writeFile(path, fileWith(-7)); },
       [](const std::string&) { return std::string("schema version -7 is not one we read"); }},
      {"start minute 1440",
       [](const std::string& path) { writeFile(path, fileWith(3, [](Json& s) { s["startMinute"] = 1440; })); },
       [](const std::string&) { return std::string("a schedule in the file is no longer one we would accept"); }},
      {"a huge name",
       [](const std::string& path) {
         writeFile(path, fileWith(3, [](Json& s) { s["name"] = std::string(5'000'000, 'n'); }));
       },
       [](const std::string&) { return std::string("a schedule in the file is no longer one we would accept"); }},
      {"33 schedules",
       [](const std::string& path) {
         ScheduleSet set;
         for (std::uint64_t i = 0; i < 33; ++i) set.schedules.push_back(weeklySchedule({2}, 600, 3600, i));
         writeFile(path, set.encoded());
       },
       [](const std::string&) { return std::string("a schedule in the file is no longer one we would accept"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TemporaryDirectory dir;
    CapturingLogSink logs;
    Counting counting;
    ScheduleStore store(dir.path(), counting.calls);
    c.make(store.fileURL());
    std::string reason = c.reason(store.fileURL());
    bool isDirectory = std::filesystem::is_directory(store.fileURL());
    std::string before = isDirectory ? "" : readFile(store.fileURL());

    EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::Quarantined{reason}));
    EXPECT_THAT(dir.names(), ElementsAre("schedules.json.broken"));
    if (!isDirectory) {
      EXPECT_EQ(readFile(store.brokenFileURL()), before);
    }
    EXPECT_EQ(counting.syncs, 1);
    ASSERT_EQ(logs.records().size(), 1u);
    EXPECT_EQ(logs.records()[0].level, LogLevel::error);
    EXPECT_EQ(logs.records()[0].category, "schedules");
    EXPECT_EQ(logs.records()[0].subsystem, "org.hushwall.daemon");
    EXPECT_EQ(logs.records()[0].message, unusableLine(reason));

    // Nothing is left to find: the next load is quiet.
    EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::None{}));
    EXPECT_EQ(logs.records().size(), 1u);
  }
}

TEST(ScheduleStore, ANewQuarantineReplacesTheOlderBrokenFile) {
  TemporaryDirectory dir;
  ScheduleStore store(dir.path());
  writeFile(store.fileURL(), "first");
  (void)store.load();
  writeFile(store.fileURL(), fileWith(9));
  EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::Quarantined{"schema version 9 is not one we read"}));
  EXPECT_EQ(readFile(store.brokenFileURL()), fileWith(9));
  EXPECT_THAT(dir.names(), ElementsAre("schedules.json.broken"));
}

TEST(ScheduleStore, AFailedMoveStillQuarantinesAndLeavesTheFile) {
  TemporaryDirectory dir;
  CapturingLogSink logs;
  Counting counting;
  counting.calls.moveFile = [](const std::string&, const std::string& to) -> Result<void> {
    return std::unexpected(SystemError::fromErrno(EROFS, "rename", to));
  };
  // A failure to remove an older broken file is ignored.
  counting.calls.removeFile = [](const std::string& path) -> Result<void> {
    return std::unexpected(SystemError::fromErrno(EACCES, "unlink", path));
  };
  ScheduleStore store(dir.path(), counting.calls);
  writeFile(store.fileURL(), "{}");

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::Quarantined{"the file could not be decoded"}));
  }
  EXPECT_EQ(readFile(store.fileURL()), "{}");
  EXPECT_THAT(dir.names(), ElementsAre("schedules.json"));
  EXPECT_EQ(counting.syncs, 0);
  std::string fault =
      "could not move schedules.json aside: rename " + store.brokenFileURL() + ": Read-only file system";
  EXPECT_THAT(logs.messages("schedules"),
              ElementsAre(unusableLine("the file could not be decoded"), fault,
                          unusableLine("the file could not be decoded"), fault));
  EXPECT_EQ(logs.records()[1].level, LogLevel::fault);
  EXPECT_EQ(store.loadSchedules(), ScheduleSet{});
}

TEST(ScheduleStore, AnInvalidSaveLeavesTheFileByteForByte) {
  TemporaryDirectory dir;
  ScheduleStore store(dir.path());
  ASSERT_TRUE(store.save(oneListSet()));
  std::string before = readFile(store.fileURL());

  ScheduleSet bad = oneListSet();
  bad.schedules[1].duration = 30;
  auto saved = store.save(bad);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), Error(DaemonError::invalidSchedule));
  bad.schedules[1].duration = 3600;
  bad.schedules[1].domains = {};
  EXPECT_EQ(store.save(bad).error(), Error(DaemonError::invalidDomain));

  EXPECT_EQ(readFile(store.fileURL()), before);
  EXPECT_THAT(dir.names(), ElementsAre("schedules.json"));
}

TEST(ScheduleStore, AFailedWriteReturnsTheWritersErrorAndKeepsTheOldFile) {
  TemporaryDirectory dir;
  ScheduleStore(dir.path()).save(oneListSet()).value();
  std::string before = readFile(dir.file("schedules.json"));
  RootOwnedFile::Syscalls calls = RootOwnedFile::Syscalls::live();
  calls.rename = [](const std::string&, const std::string&) -> Result<void> {
    return std::unexpected(RootFileError::renameFailed(EXDEV));
  };
  ScheduleSet changed = oneListSet();
  changed.schedules[0].startMinute = 601;
  auto saved = ScheduleStore(dir.path(), calls).save(changed);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), Error(RootFileError::renameFailed(EXDEV)));
  EXPECT_EQ(readFile(dir.file("schedules.json")), before);
  EXPECT_THAT(dir.names(), ElementsAre("schedules.json"));
}

TEST(ScheduleStore, AnEmptySetRemovesTheFile) {
  TemporaryDirectory dir;
  Counting counting;
  // With no file, nothing is created, not even the state directory.
  ScheduleStore fresh(dir.file("state"), counting.calls);
  ASSERT_TRUE(fresh.save(ScheduleSet{}));
  EXPECT_THAT(dir.names(), IsEmpty());
  EXPECT_EQ(counting.syncs, 0);

  ScheduleStore store(dir.path(), counting.calls);
  ASSERT_TRUE(store.save(oneListSet()));
  int syncsAfterWrite = counting.syncs;
  ScheduleSet emptied = oneListSet();
  emptied.schedules.clear();
  emptied.lastFired[fixedID(1)] = Date{5};  // records without schedules do not keep the file
  ASSERT_TRUE(store.save(emptied));
  EXPECT_FALSE(store.exists());
  EXPECT_EQ(counting.syncs, syncsAfterWrite + 1);
  EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::None{}));
}

TEST(ScheduleStore, RemoveIsIdempotentAndPassesOtherFailuresOn) {
  TemporaryDirectory dir;
  ScheduleStore store(dir.path());
  ASSERT_TRUE(store.save(oneListSet()));
  ASSERT_TRUE(store.remove());
  ASSERT_TRUE(store.remove());
  EXPECT_FALSE(store.exists());

  RootOwnedFile::Syscalls calls = RootOwnedFile::Syscalls::live();
  calls.removeFile = [](const std::string& path) -> Result<void> {
    return std::unexpected(SystemError::fromErrno(EBUSY, "unlink", path));
  };
  auto removed = ScheduleStore(dir.path(), calls).remove();
  ASSERT_FALSE(removed);
  EXPECT_EQ(std::get<SystemError>(removed.error()).code, EBUSY);
}

TEST(ScheduleStore, RecordsOfUnknownIdsAreDroppedOnLoadAndKeptInTheFileUntilTheNextSave) {
  TemporaryDirectory dir;
  ScheduleStore store(dir.path());
  ScheduleSet set = oneListSet();
  Json json = set.toJson();
  json["lastFired"] = {fixedID(1).string(), 10, fixedID(99).string(), 20};
  writeFile(store.fileURL(), json.dump());

  ScheduleSet loaded = store.loadSchedules();
  EXPECT_EQ(loaded.lastFired, (std::map<Uuid, Date>{{fixedID(1), Date{10}}}));
  EXPECT_EQ(readFile(store.fileURL()), json.dump());

  ASSERT_TRUE(store.save(loaded));
  EXPECT_EQ(Json::parse(readFile(store.fileURL()))["lastFired"], Json::array({fixedID(1).string(), 10}));
}

}  // namespace
}  // namespace hushwall
