// The daemon's files: the two atomic writers (RootOwnedFile::write and HostsFile::writeData) with
// a failure at each step, the attributes each gives its file and every state a power cut during a
// write may leave; and the two stores on them, "session.json" (read strictly, never moved) and
// "schedules.json" (an unusable file is moved aside with its reason).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

#include "DaemonCore/HostsFile.hpp"
#include "DaemonCore/RootOwnedFile.hpp"
#include "DaemonCore/ScheduleStore.hpp"
#include "DaemonCore/SessionStore.hpp"
#include "DaemonCore/Timekeeper.hpp"
#include "HushwallCore/Json.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/FakeTimeSource.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"
#include "support/Unprivileged.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using testing::fixedID;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::writeFile;

// clang-format off
struct Call { std::string step, path, to, bytes; FileIO::Attributes attributes; };
// clang-format on

// The live steps, each recorded in `trace` as it runs. The step named `failing` fails with EIO as a
// real one would: the write after half the bytes, the attributes once set.
FileIO::Steps recording(std::vector<Call>& trace, const std::string& failing = "") {
  const FileIO::Steps& live = FileIO::Steps::live();
  FileIO::Steps s = live;
  auto note = [&trace, failing](const std::string& step, const std::string& path, const std::string& to = "",
                                std::string_view bytes = "", FileIO::Attributes attributes = {}) {
    return trace.push_back({step, path, to, std::string(bytes), attributes}), step == failing;
  };
  // One step a line.
  // clang-format off
  auto fail = [](const std::string& path) -> Result<void> { return std::unexpected(SystemError::fromErrno(EIO, "step", path)); };
  s.createTemp = [=, &live](const std::string& p, mode_t m) { return note("create", p, "", "", {m, {}, {}}) ? fail(p) : live.createTemp(p, m); };
  s.makeDirectory = [=, &live](const std::string& p, mode_t m) { return note("mkdir", p), live.makeDirectory(p, m); };
  s.write = [=, &live](const std::string& p, std::string_view b) { return note("write", p, "", b) ? (void)live.write(p, b.substr(0, b.size() / 2)), fail(p) : live.write(p, b); };
  s.setAttributes = [=, &live](const std::string& p, const FileIO::Attributes& a) { auto set = live.setAttributes(p, a); return note("attributes", p, "", "", a) ? fail(p) : set; };
  s.sync = [=, &live](const std::string& p) { return note("sync", p) ? fail(p) : live.sync(p); };
  s.rename = [=, &live](const std::string& f, const std::string& t) { return note("rename", f, t) ? fail(t) : live.rename(f, t); };
  s.syncDirectory = [=, &live](const std::string& d) { note("syncDirectory", d), live.syncDirectory(d); };
  s.removeTemp = [=, &live](const std::string& p) { note("unlink", p), live.removeTemp(p); };
  s.remove = [=, &live](const std::string& p) { return note("unlink", p), live.remove(p); };
  // clang-format on
  return s;
}

// clang-format off
struct Contents { std::string bytes; std::tuple<mode_t, uid_t, gid_t> attributes; auto operator<=>(const Contents&) const = default; };
// clang-format on
using State = std::map<std::string, std::optional<Contents>>;  // path -> contents, nullopt for a directory

std::optional<Contents> contentsOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return Contents{readFile(path), {info.st_mode & 07777, info.st_uid, info.st_gid}};
}

Result<void> write(bool hosts, const std::string& path, const std::optional<std::string>& bytes,
                   const FileIO::Steps& steps) {
  if (hosts) return HostsFile(path, steps).writeData(*bytes);
  return bytes ? RootOwnedFile(path, steps).write(*bytes) : RootOwnedFile(path, steps).remove();
}

// Guards against a step failing and the writer changing the target anyway, leaving its temporary
// file behind or reporting another error; and, when none fails, a step left out or out of order, or
// the wrong attributes: the hosts file keeps its mode and owner, a root-owned file is root's, 0600.
TEST(AtomicWrite, AFailureAtAnyStepLeavesTheTargetAsItWasAndNoTemporaryFile) {
  const std::string old = "127.0.0.1\tlocalhost\nold contents\n", replacement = std::string(100000, 'n') + "\n";
  const std::vector<std::string> everyStep = {"create", "write", "attributes", "sync", "rename", "syncDirectory"};
  const bool root = ::geteuid() == 0;
  const std::tuple<mode_t, uid_t, gid_t> kept{0640, root ? 1234u : ::geteuid(), root ? 5678u : ::getegid()},
      rootOnly{0600, root ? 0u : ::geteuid(), root ? 0u : ::getegid()};
  for (bool hosts : {false, true}) {
    for (std::size_t at = 0; at < everyStep.size(); ++at) {  // the directory sync cannot fail: nothing fails there
      SCOPED_TRACE((hosts ? "HostsFile failing at " : "RootOwnedFile failing at ") + everyStep[at]);
      TemporaryDirectory dir;
      writeFile(dir.file("target"), old, 0640);
      ASSERT_TRUE(!root || ::chown(dir.file("target").c_str(), 1234, 5678) == 0);
      std::vector<Call> trace;
      auto written = write(hosts, dir.file("target"), replacement, recording(trace, everyStep[at]));
      std::vector<std::string> steps, expected(everyStep.begin(), everyStep.begin() + static_cast<long>(at) + 1);
      for (const Call& call : trace) steps.push_back(call.step);
      if (at > 0 && at < 5) expected.emplace_back("unlink");
      EXPECT_EQ(steps, expected);
      EXPECT_EQ(dir.names(), std::vector<std::string>{"target"}) << "temporary file left behind";
      EXPECT_EQ(contentsOf(dir.file("target")),
                (Contents{at == 5 ? replacement : old, at < 5 || hosts ? kept : rootOnly}));
      const std::string failed = "step " + (at == 4 ? dir.file("target") : dir.path() + "/.target-");
      EXPECT_TRUE(at == 5 ? written.has_value() : !written && describe(written.error()).starts_with(failed));
    }
  }
}

// Root-only files and directories whatever the umask and the user; a new hosts file is 0644 whatever
// the umask, and a write first removes what an interrupted one left; the hosts file is written through a link to its
// directory; a temporary file never follows one.
TEST(AtomicWrite, EachWriterGivesItsFileItsAttributes) {
  TemporaryDirectory dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  EXPECT_EQ(testing::asUnprivilegedUser([&] {
              const mode_t umask = ::umask(0277);  // even a umask that takes the owner's write bit
              auto written = RootOwnedFile(dir.file("state/nested/session.json")).write("user");
              ::umask(umask);
              return written ? "" : describe(written.error());
            }),
            "");
  const std::string stale = ".hosts-" + Uuid::random().string() + ".tmp",
                    notOurs = ".hosts-" + Uuid::random().string() + ".temp";
  writeFile(dir.file(stale), "left by a crash"), writeFile(dir.file(notOurs), "");
  const mode_t umask = ::umask(077);
  EXPECT_TRUE(HostsFile(dir.file("hosts")).writeData("new\n"));
  ::umask(umask);
  for (auto [name, mode] :
       {std::pair{"state", 0700}, {"state/nested", 0700}, {"state/nested/session.json", 0600}, {"hosts", 0644}}) {
    EXPECT_EQ(testing::fileMode(dir.file(name)), mode) << name;
  }
  ASSERT_EQ(::symlink(dir.path().c_str(), dir.file("etc").c_str()), 0);
  ASSERT_TRUE(HostsFile(dir.file("etc/hosts")).writeData("linked\n"));
  ASSERT_EQ(::symlink(dir.file("hosts").c_str(), dir.file(".link.tmp").c_str()), 0);
  EXPECT_FALSE(FileIO::Steps::live().createTemp(dir.file(".link.tmp"), 0600)) << "a link is never followed";
  EXPECT_EQ(readFile(dir.file("hosts")), "linked\n");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{notOurs, ".link.tmp", "etc", "hosts", "state"}))
      << "only the target's own temporary files go";
}

// A file system that keeps only what was synced. Entries map a path to an inode, or to -1 for a
// directory; each directory change is a list of entry changes applied together.
struct Disk {
  using Change = std::vector<std::pair<std::string, std::optional<int>>>;
  std::map<std::string, int> synced, current;
  std::vector<Change> pending;
  std::vector<std::pair<Contents, Contents>> inodes;  // synced, current

  static void put(std::map<std::string, int>& entries, const Change& change) {
    for (const auto& [path, inode] : change) inode ? void(entries[path] = *inode) : void(entries.erase(path));
  }
  void change(Change c) { put(current, c), pending.push_back(std::move(c)); }
  int add(Contents contents) { return inodes.emplace_back(contents, contents), static_cast<int>(inodes.size() - 1); }
  void apply(const Call& call) {
    auto inode = [&]() -> auto& { return inodes[static_cast<std::size_t>(current.at(call.path))]; };
    const auto& [mode, owner, group] = call.attributes;
    if (call.step == "create") change({{call.path, add({"", {mode, ::geteuid(), ::getegid()}})}});
    if (call.step == "mkdir") change({{call.path, -1}});
    if (call.step == "write") inode().second.bytes = call.bytes;
    if (call.step == "attributes") {
      auto& [oldMode, oldOwner, oldGroup] = inode().second.attributes;
      std::tie(oldMode, oldOwner, oldGroup) = std::tuple(mode, owner.value_or(oldOwner), group.value_or(oldGroup));
    }
    if (call.step == "sync") inode().first = inode().second;
    if (call.step == "rename") change({{call.to, current.at(call.path)}, {call.path, std::nullopt}});
    if (call.step == "unlink" && current.contains(call.path)) change({{call.path, std::nullopt}});
    if (call.step == "syncDirectory") {
      std::erase_if(pending, [&](const Change& c) {
        return FileIO::parentDirectory(c.front().first) == call.path && (put(synced, c), true);
      });
    }
  }

  // Every state a crash now may leave: any subset of the unsynced directory changes, and for each
  // file its synced or current bytes and attributes, mixed, or half the new bytes.
  [[nodiscard]] std::set<State> crashStates() const {
    std::set<State> states;
    for (std::size_t kept = 0; kept < (1u << pending.size()); ++kept) {
      std::map<std::string, int> entries = synced;
      for (std::size_t i = 0; i < pending.size(); ++i) {
        if ((kept >> i & 1) != 0) put(entries, pending[i]);
      }
      std::vector<State> partial{{}};
      for (const auto& [path, inode] : entries) {
        std::vector<std::optional<Contents>> choices{std::nullopt};
        if (inode >= 0) {
          const auto& [on, in] = inodes[static_cast<std::size_t>(inode)];
          std::set<Contents> set{on, in, {in.bytes, on.attributes}, {on.bytes, in.attributes}};
          if (on.bytes != in.bytes) set.insert({in.bytes.substr(0, in.bytes.size() / 2), on.attributes});
          choices.assign(set.begin(), set.end());
        }
        std::vector<State> next;
        for (const auto& state : partial) {
          for (const auto& choice : choices) next.push_back(state), next.back()[path] = choice;
        }
        partial = std::move(next);
      }
      states.insert(partial.begin(), partial.end());
    }
    return states;
  }
};

// clang-format off
struct Row { const char* name; bool hosts; const char* file; std::optional<std::string> old, replacement; /* absent; removed */ };
// clang-format on
const Row crashRows[] = {
    {"root-owned file, the first in a new directory", false, "state/session.json", std::nullopt, "{\"first\": 1}"},
    {"root-owned file, replaced", false, "state/session.json", "{\"first\": 1}", "{\"second\": 2}"},
    {"root-owned file, removed", false, "state/session.json", "{\"first\": 1}", std::nullopt},
    {"hosts file, keeping its mode and owner", true, "hosts", "127.0.0.1\tlocalhost\n",
     "127.0.0.1\texample.com\n127.0.0.1\tlocalhost\n"},
};

// One write is recorded at its file steps and replayed on a Disk. Each state a crash may leave after
// each step must hold the old or the new file (the new once the write returned). Returns the number
// of states.
std::size_t enumerate(const Row& row) {
  TemporaryDirectory dir;
  const std::string path = dir.file(row.file);
  EXPECT_TRUE(!row.old || write(row.hosts, path, row.old, FileIO::Steps::live()));
  EXPECT_TRUE(!row.hosts ||
              (::chmod(path.c_str(), 0640) == 0 && (::geteuid() != 0 || ::chown(path.c_str(), 1234, 5678) == 0)));
  Disk disk;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
    const std::string name = entry.path();
    disk.synced[name] = disk.current[name] = entry.is_directory() ? -1 : disk.add(*contentsOf(name));
  }
  // What a reader finds at `path`: nothing when it, or the directory it is in, is missing.
  auto observe = [&](const State& state) {
    auto found = state.find(path);
    const bool reachable = FileIO::parentDirectory(path) == dir.path() || state.contains(FileIO::parentDirectory(path));
    return reachable && found != state.end() ? found->second : std::nullopt;
  };
  const auto before = contentsOf(path);
  std::vector<Call> trace;
  EXPECT_TRUE(write(row.hosts, path, row.replacement, recording(trace)));
  const auto after = contentsOf(path);
  std::size_t states = 0;
  for (std::size_t done = 0; done <= trace.size(); ++done) {
    if (done > 0) disk.apply(trace[done - 1]);
    for (const auto& state : disk.crashStates()) {
      ++states;
      const bool sound = observe(state) == after || (done < trace.size() && observe(state) == before);
      EXPECT_TRUE(sound) << "after " << done << " steps";
    }
  }
  return states;
}

// Guards against a power cut during a write leaving a torn, empty or missing file, a file with the
// wrong mode or owner, or a lost directory.
TEST(CrashStates, EveryWriteLeavesTheOldOrTheNewFileAndNothingElse) {
  for (const Row& row : crashRows) {
    SCOPED_TRACE(row.name);
    std::printf("[ crash states ] %s: %zu\n", row.name, enumerate(row));
  }
}

const SessionState session = [] {
  SessionState state =
      *Timekeeper{}.start({"example.com"}, 3600, testing::FakeTimeSource(700000000, 8125.25, "boot-1", 699990000));
  return state.consumed = 125.5, state;
}();
const ScheduleSet twoSchedules{
    3, {testing::weeklySchedule({2}, 600, 3600, 1), testing::weeklySchedule({3, 5}, 0, 86400, 2)}, {}, {}};

// A record's file at `version`, changed by `change`.
std::string file(Json json, std::int64_t version, void (*change)(Json& json) = nullptr) {
  json["schemaVersion"] = version;
  if (change) change(json);
  return json.dump();
}

// Every kind of file each store may find, one row a file: what a load makes of it, the lines it
// logs ("@" is the file's path) and whether the file was moved aside with a directory sync. A
// session file is read strictly and never moved; an unusable schedules file is moved aside as it
// was, with its reason, or kept when that fails ("x": the move fails).
TEST(Stores, ReadKnownVersionsAndRefuseEachBrokenFileWithItsCause) {
  auto old = [](Json& json) {
    json["schedules"][0].erase("blocklists");
    json["lastFired"] = {fixedID(1).string(), 10, fixedID(99).string(), 20};  // records of unknown ids are dropped
  };
  const std::string aside = " \u2014 moving it aside", moved = aside + "; moved, synced";
  // clang-format off
  const struct { char store; std::string bytes, expected; } rows[] = {
      {'s', file(session.toJson(), 1), "read"},
      {'s', file(session.toJson(), 4), "refused; session.json unreadable: schema version 4 is not one we read"},
      {'s', "(directory)", "refused; session.json unreadable: read @: Is a directory"},
      {'S', file(twoSchedules.toJson(), 1, old), "read"},
      {'S', file(twoSchedules.toJson(), 3, old), "read"},
      {'S', "(directory)", "refused; schedules.json unusable (read @: Is a directory)" + moved},
      {'S', "", "refused; schedules.json unusable (the file could not be decoded)" + moved},
      {'S', file(twoSchedules.toJson(), 4), "refused; schedules.json unusable (schema version 4 is not one we read)" + moved},
      {'S', file(twoSchedules.toJson(), 3, [](Json& json) { json["schedules"][0]["startMinute"] = 1440; }), "refused; schedules.json unusable (a schedule in the file is no longer one we would accept)" + moved},
      {'x', "{}", "refused; schedules.json unusable (the file could not be decoded)" + aside + "; could not move schedules.json aside: rename @.broken: Read-only file system"},
  };
  // clang-format on
  ScheduleSet read = twoSchedules;
  read.lastFired = {{fixedID(1), Date{10}}};
  for (const auto& [store, bytes, expected] : rows) {
    SCOPED_TRACE(expected);
    TemporaryDirectory dir;
    writeFile(dir.file("schedules.json.broken"), "older");
    int syncs = 0;
    FileIO::Steps steps = FileIO::Steps::live();
    steps.syncDirectory = [&](const std::string&) { ++syncs; };
    if (store == 'x')
      steps.move = [](auto&, auto& to) {
        return Result<void>(std::unexpected(SystemError::fromErrno(EROFS, "rename", to)));
      };
    const std::string path = dir.file(store == 's' ? "session.json" : "schedules.json");
    EXPECT_TRUE(bytes == "(directory)" ? ::mkdir(path.c_str(), 0700) == 0 : (writeFile(path, bytes, 0600), true));
    testing::CapturingLogSink logs;
    std::string seen = "refused";
    if (auto loaded = SessionStore(dir.path(), steps).load(); store == 's' && loaded == session) seen = "read";
    if (store != 's' && ScheduleStore(dir.path(), steps).load() == ScheduleStore::Load(read)) seen = "read";
    for (auto line : logs.messages()) {
      if (auto at = line.find(path); at != std::string::npos) line.replace(at, path.size(), "@");
      seen += "; " + line;
    }
    const std::string now = fs::exists(path) ? path : path + ".broken";
    EXPECT_EQ(seen + (now == path ? "" : "; moved") + (syncs > 0 ? ", synced" : ""), expected);
    EXPECT_EQ(bytes == "(directory)" ? bytes : readFile(now), bytes) << "kept or moved as it was";
  }
}

// A schedule set is written at the lowest version that holds it, so that an older reader can still
// read it; records alone keep no file; removing twice succeeds.
TEST(Stores, SaveLoadAndRemoveTwice) {
  TemporaryDirectory dir;
  SessionStore sessions(dir.file("state"));
  ASSERT_TRUE(sessions.save(session));
  ScheduleStore schedules(dir.file("state"));
  ScheduleSet set = twoSchedules;
  ASSERT_TRUE(schedules.save(set));
  EXPECT_EQ(Json::parse(readFile(schedules.path()))["schemaVersion"], 2);
  set.schedules[1].blocklists.emplace_back(fixedID(77), "News");
  ASSERT_TRUE(schedules.save(set));
  EXPECT_EQ(Json::parse(readFile(schedules.path()))["schemaVersion"], 3);
  ASSERT_TRUE(sessions.remove());
  ASSERT_TRUE(sessions.remove());
  ASSERT_TRUE(schedules.save(ScheduleSet{3, {}, {{fixedID(1), Date{5}}}, {}}));
  EXPECT_EQ(TemporaryDirectory::directoryNames(dir.file("state")), std::vector<std::string>{});
}

}  // namespace
}  // namespace hushwall
