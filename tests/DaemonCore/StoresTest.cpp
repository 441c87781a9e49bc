// The two stores on real files: "session.json" (read strictly, never moved)
// and "schedules.json" (an unusable file is moved aside with its reason).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "DaemonCore/ScheduleStore.hpp"
#include "DaemonCore/SessionStore.hpp"
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

const ScheduleSet twoSchedules{
    3, {testing::weeklySchedule({2}, 600, 3600, 1), testing::weeklySchedule({3, 5}, 0, 86400, 2)}, {}, {}};

std::string setFile(std::int64_t version, void (*change)(Json& json) = [](Json&) {}) {
  Json json = twoSchedules.toJson();
  json["schemaVersion"] = version;
  change(json);
  return json.dump();
}

// Puts `bytes` at `path`, or a directory for "(directory)"; returns `text` with "@" as `path`.
std::string place(const std::string& path, const std::string& bytes, std::string text) {
  if (bytes != "(directory)") writeFile(path, bytes, 0600);
  EXPECT_TRUE(bytes != "(directory)" || ::mkdir(path.c_str(), 0700) == 0);
  if (auto at = text.find('@'); at != std::string::npos) text.replace(at, 1, path);
  return text;
}

// Versions 1 to 3 load as 3 and the file stays as it was; anything else is stateUnreadable,
// logged with its cause, and the file stays too.
TEST(SessionStore, ReadsKnownVersionsAndRefusesEverythingElseInPlace) {
  const std::string valid = sampleSession().encoded();
  const std::pair<std::string, std::string> rows[] = {
      {sampleSession(1).encoded(), ""},
      {sampleSession(2).encoded(), ""},
      {sampleSession(4).encoded(), "session.json unreadable: schema version 4 is not one we read"},
      {valid.substr(0, valid.size() / 2), "session.json unreadable: not valid JSON"},
      {"(directory)", "session.json unreadable: read @: Is a directory"},
  };
  for (const auto& [bytes, log] : rows) {
    SCOPED_TRACE(bytes);
    TemporaryDirectory dir;
    SessionStore store(dir.path());
    const std::string expected = place(store.path(), bytes, log);
    CapturingLogSink logs;
    auto loaded = store.load();
    EXPECT_EQ(logs.messages("store"), log.empty() ? std::vector<std::string>{} : std::vector{expected});
    EXPECT_EQ(loaded, log.empty() ? Result<std::optional<SessionState>>(sampleSession()) : std::unexpected(DaemonError::stateUnreadable));
    EXPECT_EQ(bytes == "(directory)" ? bytes : readFile(store.path()), bytes) << "a load never changes the file";
  }
}

TEST(ScheduleStore, ReadsVersionsOneToThreeAndMovesEveryUnusableFileAsideWithItsReason) {
  auto old = [](Json& json) {
    json["schedules"][0].erase("blocklists");
    json["lastFired"] = {fixedID(1).string(), 10, fixedID(99).string(), 20};
  };
  ScheduleSet read = twoSchedules;
  read.lastFired = {{fixedID(1), Date{10}}};  // records of unknown ids are dropped
  const std::pair<std::string, std::string> rows[] = {
      {setFile(1, old), ""},
      {setFile(2, old), ""},
      {setFile(3, old), ""},
      {"(directory)", "read @: Is a directory"},
      {"", "the file could not be decoded"},
      {setFile(4), "schema version 4 is not one we read"},
      {setFile(3, [](Json& json) { json["schedules"][0]["startMinute"] = 1440; }), "a schedule in the file is no longer one we would accept"},
  };
  for (const auto& [bytes, why] : rows) {
    SCOPED_TRACE(why);
    TemporaryDirectory dir;
    writeFile(dir.file("schedules.json.broken"), "older");
    int syncs = 0;
    FileIO::Steps steps = FileIO::Steps::live();
    steps.syncDirectory = [&](const std::string&) { ++syncs; };
    ScheduleStore store(dir.path(), steps);
    const std::string reason = place(store.path(), bytes, why);
    CapturingLogSink logs;
    if (why.empty()) {
      EXPECT_EQ(store.load(), ScheduleStore::Load(read));
      continue;
    }
    EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::Quarantined{reason}));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"schedules.json.broken"});
    EXPECT_EQ(bytes == "(directory)" ? bytes : readFile(store.brokenPath()), bytes);
    EXPECT_EQ(syncs, 1);
    EXPECT_THAT(logs.messages("schedules"), ::testing::ElementsAre("schedules.json unusable (" + reason + ") \u2014 moving it aside"));
    EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::None{})) << "nothing is left to find";
  }

  TemporaryDirectory dir;
  FileIO::Steps stuck = FileIO::Steps::live();
  stuck.move = [](const std::string&, const std::string& to) -> Result<void> { return std::unexpected(SystemError::fromErrno(EROFS, "rename", to)); };
  ScheduleStore store(dir.path(), stuck);
  writeFile(store.path(), "{}");
  CapturingLogSink logs;
  EXPECT_EQ(store.load(), ScheduleStore::Load(ScheduleStore::Quarantined{"the file could not be decoded"}));
  EXPECT_EQ(logs.messages("schedules").back(), "could not move schedules.json aside: rename " + store.brokenPath() + ": Read-only file system");
  EXPECT_EQ(readFile(store.path()), "{}");
}

// A schedule set is validated and written at the lowest version that holds it; records alone
// keep no file; removing twice succeeds.
TEST(Stores, SaveLoadAndRemoveTwice) {
  TemporaryDirectory dir;
  SessionStore sessions(dir.file("state"));
  ASSERT_TRUE(sessions.save(sampleSession()));
  EXPECT_EQ(sessions.load(), sampleSession());
  ScheduleStore schedules(dir.file("state"));
  ScheduleSet set = twoSchedules;
  set.schedules[0].name = "  Mornings \n";
  ASSERT_TRUE(schedules.save(set));
  EXPECT_EQ(Json::parse(readFile(schedules.path()))["schemaVersion"], 2);
  EXPECT_EQ(schedules.load(), ScheduleStore::Load(*set.validated()));
  set.schedules[1].blocklists.emplace_back(fixedID(77), "News");
  ASSERT_TRUE(schedules.save(set));
  EXPECT_EQ(Json::parse(readFile(schedules.path()))["schemaVersion"], 3);
  const std::string before = readFile(schedules.path());
  set.schedules[1].duration = 30;
  EXPECT_EQ(schedules.save(set).error(), Error(DaemonError::invalidSchedule));
  EXPECT_EQ(readFile(schedules.path()), before);

  ASSERT_TRUE(sessions.remove());
  ASSERT_TRUE(sessions.remove());
  ASSERT_TRUE(schedules.save(ScheduleSet{3, {}, {{fixedID(1), Date{5}}}, {}}));
  ASSERT_TRUE(schedules.remove());
  EXPECT_EQ(sessions.load(), std::nullopt);
  EXPECT_EQ(schedules.load(), ScheduleStore::Load(ScheduleStore::None{}));
  EXPECT_EQ(TemporaryDirectory::directoryNames(dir.file("state")), std::vector<std::string>{});
}

}  // namespace
}  // namespace hushwall
