// The two atomic writers, RootOwnedFile::write and HostsFile::writeData, and
// the stores built on them: a failure at each step, the attributes each gives
// its file, and every state a power cut during a save may leave.
#include <gmock/gmock.h>
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
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using testing::fileMode;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::writeFile;

struct Call {
  std::string step, path, to, bytes;
  FileIO::Attributes attributes;
};

// The live steps, each recorded in `trace` as it runs; `skipped` is left out of the trace. The
// step named `failing` fails as a real one would: the write after half the bytes, the attributes once set.
FileIO::Steps recording(std::vector<Call>& trace, const std::string& skipped = "", const std::string& failing = "") {
  const FileIO::Steps& live = FileIO::Steps::live();
  FileIO::Steps s = live;
  auto note = [&trace, skipped, failing](const std::string& step, const std::string& path, const std::string& to = "",
                                         std::string_view bytes = "", FileIO::Attributes attributes = {}) {
    if (step != skipped) trace.push_back({step, path, to, std::string(bytes), attributes});
    return step == failing;
  };
  auto error = [](int errnum, const char* what, const std::string& path) -> Result<void> {
    return std::unexpected(SystemError::fromErrno(errnum, what, path));
  };
  s.createTemp = [=, &live](const std::string& p, mode_t mode) -> Result<void> {
    if (note("create", p, "", "", {mode, {}, {}})) return std::unexpected(WriterError::cannotOpenTemporaryFile(p, ENOSPC));
    return live.createTemp(p, mode);
  };
  s.makeDirectory = [=, &live](const std::string& p, mode_t mode) { return note("mkdir", p), live.makeDirectory(p, mode); };
  s.write = [=, &live](const std::string& p, std::string_view b) -> Result<void> {
    if (!note("write", p, "", b)) return live.write(p, b);
    (void)live.write(p, b.substr(0, b.size() / 2));
    return error(ENOSPC, "write", p);
  };
  s.setAttributes = [=, &live](const std::string& p, const FileIO::Attributes& a) -> Result<void> {
    auto set = live.setAttributes(p, a);
    return note("attributes", p, "", "", a) ? error(EPERM, "chown", p) : set;
  };
  s.sync = [=, &live](const std::string& p) { return note("sync", p) ? error(EIO, "fsync", p) : live.sync(p); };
  s.rename = [=, &live](const std::string& f, const std::string& t) -> Result<void> {
    if (note("rename", f, t)) return std::unexpected(WriterError::renameFailed(t, EXDEV));
    return live.rename(f, t);
  };
  s.syncDirectory = [=, &live](const std::string& d) { note("syncDirectory", d), live.syncDirectory(d); };
  s.removeTemp = [=, &live](const std::string& p) { note("unlink", p), live.removeTemp(p); };
  s.remove = [=, &live](const std::string& p) { return note("unlink", p), live.remove(p); };
  return s;
}

// Guards against a step failing (no space left during the write, a refused chown, a rename across
// file systems) and the writer changing the target anyway, leaving its temporary file behind or
// reporting another error; and, when none fails, against a step left out or run out of order.
TEST(AtomicWrite, AFailureAtAnyStepLeavesTheTargetAsItWasAndNoTemporaryFile) {
  const std::string old = "127.0.0.1\tlocalhost\nold contents\n", replacement = std::string(100000, 'n') + "\n";
  const std::vector<std::string> everyStep = {"create", "write", "attributes", "sync", "rename", "syncDirectory"};
  for (bool hosts : {false, true}) {
    for (std::size_t at = 0; at < everyStep.size(); ++at) {  // the directory sync cannot fail: nothing fails there
      SCOPED_TRACE((hosts ? "HostsFile failing at " : "RootOwnedFile failing at ") + everyStep[at]);
      TemporaryDirectory dir;
      const std::string target = dir.file("target");
      writeFile(target, old, 0640);
      std::vector<Call> trace;
      auto steps = recording(trace, "", everyStep[at]);
      auto written = hosts ? HostsFile(target, steps).writeData(replacement) : RootOwnedFile(target, steps).write(replacement);
      std::vector<std::string> names, expected(everyStep.begin(), everyStep.begin() + static_cast<long>(at) + 1);
      for (const Call& call : trace) names.push_back(call.step);
      if (at > 0 && at < 5) expected.emplace_back("unlink");
      EXPECT_EQ(names, expected);
      EXPECT_EQ(dir.names(), std::vector<std::string>{"target"}) << "temporary file left behind";
      if (at == 5) {
        EXPECT_TRUE(written);
        EXPECT_EQ(readFile(target), replacement);
        EXPECT_EQ(fileMode(target), hosts ? 0640 : 0600);
        continue;
      }
      ASSERT_FALSE(written);
      EXPECT_THAT(describe(written.error()), ::testing::HasSubstr(at == 4 ? target : dir.path() + "/.target-"));
      EXPECT_THAT(describe(written.error()), ::testing::MatchesRegex(".*(No space left|Input/output|Operation not permitted|cross-device).*"));
      EXPECT_EQ(readFile(target), old);
      EXPECT_EQ(fileMode(target), 0640);
    }
  }
}

// Root-only files and directories whatever the umask; the hosts file keeps its permissions and
// owner (0644 when created) and is written through links, and a temporary file never follows one.
TEST(AtomicWrite, EachWriterGivesItsFileItsAttributes) {
  TemporaryDirectory dir;
  const mode_t umask = ::umask(0277);  // even a umask that takes the owner's write bit
  ASSERT_TRUE(RootOwnedFile(dir.file("state/nested/session.json")).write("user"));
  ::umask(umask);
  EXPECT_EQ(readFile(dir.file("state/nested/session.json")), "user");
  EXPECT_EQ(fileMode(dir.file("state/nested/session.json")), 0600);
  EXPECT_EQ(fileMode(dir.file("state/nested")), 0700);
  EXPECT_EQ(fileMode(dir.file("state")), 0700);
  for (int mode : {0600, 0444, -1}) {
    SCOPED_TRACE(mode);
    TemporaryDirectory hosts;
    if (mode >= 0) writeFile(hosts.file("hosts"), "old\n", static_cast<unsigned>(mode));
    ::umask(077);
    EXPECT_TRUE(HostsFile(hosts.file("hosts")).writeData("new\n"));
    ::umask(umask);
    EXPECT_EQ(fileMode(hosts.file("hosts")), mode >= 0 ? mode : 0644);
  }
  ASSERT_EQ(::mkdir(dir.file("private").c_str(), 0755), 0);
  writeFile(dir.file("private/hosts"), "old\n", 0600);
  ASSERT_EQ(::symlink("private/hosts", dir.file("hosts").c_str()), 0);
  ASSERT_EQ(::symlink("private", dir.file("etc").c_str()), 0);
  EXPECT_EQ(HostsFile(dir.file("etc/missing")).path(), dir.file("private/missing"));
  const bool root = ::geteuid() == 0;
  ASSERT_TRUE(!root || ::chown(dir.file("private/hosts").c_str(), 1234, 5678) == 0);
  ASSERT_TRUE(HostsFile(dir.file("etc/hosts")).writeData("new\n"));
  struct stat real {};
  ASSERT_EQ(::stat(dir.file("private/hosts").c_str(), &real), 0);
  EXPECT_TRUE(fs::is_symlink(dir.file("hosts")));
  EXPECT_EQ(readFile(dir.file("private/hosts")), "new\n");
  EXPECT_EQ(real.st_mode & 07777, 0600u);
  EXPECT_TRUE(!root || (real.st_uid == 1234 && real.st_gid == 5678)) << "the owner and group are kept";
  writeFile(dir.file("victim"), "keep");
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file(".link.tmp").c_str()), 0);
  EXPECT_FALSE(FileIO::Steps::live().createTemp(dir.file(".link.tmp"), 0600)) << "a link is never followed";
  EXPECT_EQ(readFile(dir.file("victim")), "keep");
}

struct Contents {
  std::string bytes;
  std::tuple<mode_t, uid_t, gid_t> attributes;
  auto operator<=>(const Contents&) const = default;
};
using State = std::map<std::string, std::optional<Contents>>;  // path -> contents, nullopt for a directory

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
    if (call.step == "create") change({{call.path, add({"", {call.attributes.permissions, ::geteuid(), ::getegid()}})}});
    if (call.step == "mkdir") change({{call.path, -1}});
    if (call.step == "write") inode().second.bytes = call.bytes;
    if (call.step == "attributes") {
      auto& [mode, owner, group] = inode().second.attributes;
      std::tie(mode, owner, group) = std::tuple(call.attributes.permissions, call.attributes.owner.value_or(owner), call.attributes.group.value_or(group));
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

void materialize(const std::string& root, const State& state) {
  for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
  for (const auto& [path, contents] : state) {  // sorted, so a directory comes before its files
    if (!fs::exists(FileIO::parentDirectory(path))) continue;
    if (!contents) {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
      continue;
    }
    const auto [mode, owner, group] = contents->attributes;
    writeFile(path, contents->bytes, mode);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    ASSERT_TRUE(::geteuid() != 0 || ::chown(path.c_str(), owner, group) == 0);
  }
}

std::string attributesOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return "absent";
  return std::to_string(info.st_mode & 07777) + " " + std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid);
}

std::string listing(const std::string& root) {
  std::string names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) names += entry.path().string() + "\n";
  return names;
}

SessionState session(double consumed) {
  SessionState state;
  state.id = testing::fixedID(5);
  state.domains = {"example.com"};
  state.totalDuration = 3600;
  state.consumed = consumed;
  state.lastTick = Tick{Date{700000000}, Date{699990000}, 8125.25, "boot-1"};
  return state;
}

std::string observeSession(const std::string& root) {
  SessionStore store(root + "/state");
  auto loaded = store.load();
  return !loaded ? "unreadable" : (*loaded ? (*loaded)->encoded() : "none") + " " + attributesOf(store.path());
}

std::string observeSchedules(const std::string& root) {
  auto loaded = ScheduleStore(root).load();
  if (auto* set = std::get_if<ScheduleSet>(&loaded)) return set->encoded() + " " + attributesOf(root + "/schedules.json");
  return std::holds_alternative<ScheduleStore::None>(loaded) ? "none" : "quarantined";
}

using testing::weeklySchedule;
const ScheduleSet one{3, {weeklySchedule({2}, 600, 3600, 1)}, {}, {}};
const ScheduleSet two{3, {weeklySchedule({2}, 600, 3600, 1), weeklySchedule({3, 5}, 0, 86400, 2)}, {}, {}};

struct Row {
  const char* name;
  void (*setUp)(const std::string& root);
  Result<void> (*save)(const std::string& root, const FileIO::Steps& steps);
  std::string (*observe)(const std::string& root);  // what a fresh reader finds, with the file's attributes
};
// clang-format off
const Row rows[] = {
    {"session, first save", [](const std::string&) {}, [](const std::string& root, const FileIO::Steps& s) { return SessionStore(root + "/state", s).save(session(1)); }, observeSession},
    {"session, replaced", [](const std::string& root) { ASSERT_TRUE(SessionStore(root + "/state").save(session(1))); }, [](const std::string& root, const FileIO::Steps& s) { return SessionStore(root + "/state", s).save(session(2)); }, observeSession},
    {"schedules, one added", [](const std::string& root) { ASSERT_TRUE(ScheduleStore(root).save(one)); }, [](const std::string& root, const FileIO::Steps& s) { return ScheduleStore(root, s).save(two); }, observeSchedules},
    {"schedules, the last removed", [](const std::string& root) { ASSERT_TRUE(ScheduleStore(root).save(one)); }, [](const std::string& root, const FileIO::Steps& s) { return ScheduleStore(root, s).save(ScheduleSet{}); }, observeSchedules},
    {"hosts file, keeping its mode and owner",
     [](const std::string& root) { writeFile(root + "/hosts", "127.0.0.1\tlocalhost\n", 0644); ASSERT_TRUE(::geteuid() != 0 || ::chown((root + "/hosts").c_str(), 1234, 5678) == 0); },
     [](const std::string& root, const FileIO::Steps& s) { return HostsFile(root + "/hosts", s).writeData("127.0.0.1\texample.com\n127.0.0.1\tlocalhost\n"); },
     [](const std::string& root) { return readFile(root + "/hosts") + attributesOf(root + "/hosts"); }},
};
// clang-format on

// One save is recorded at its file steps and replayed on a Disk. Each state a crash may leave
// after each step must read as the old or the new file (the new once the save returned), and
// after the next save nothing but the files of a clean save may remain. Returns the number of
// states and of violations.
std::pair<std::size_t, std::size_t> enumerate(const Row& row, const std::string& skipped = "") {
  TemporaryDirectory dir;
  const std::string& root = dir.path();
  row.setUp(root);
  const std::string before = row.observe(root);
  Disk disk;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string();
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    disk.synced[path] = disk.current[path] =
        entry.is_directory() ? -1 : disk.add({readFile(path), {info.st_mode & 07777, info.st_uid, info.st_gid}});
  }
  std::vector<Call> trace;
  EXPECT_TRUE(row.save(root, recording(trace, skipped)));
  const std::string after = row.observe(root), clean = listing(root);
  FileIO::Steps quick = FileIO::Steps::live();  // the next save, which need not survive a crash
  quick.sync = [](const std::string&) -> Result<void> { return {}; };
  quick.syncDirectory = [](const std::string&) {};
  std::size_t states = 0, violations = 0;
  for (std::size_t done = 0; done <= trace.size(); ++done) {
    if (done > 0) disk.apply(trace[done - 1]);
    for (const auto& state : disk.crashStates()) {
      ++states;
      materialize(root, state);
      const std::string seen = row.observe(root);
      const bool sound = (seen == after || (done < trace.size() && seen == before)) && row.save(root, quick) && listing(root) == clean;
      if (!sound && skipped.empty()) ADD_FAILURE() << "after " << done << " steps: " << seen;
      violations += sound ? 0 : 1;
    }
  }
  return {states, violations};
}

// Guards against a power cut during a save leaving a torn, empty or missing file, a file with the
// wrong mode or owner, a lost session file, or a schedules file from neither save.
TEST(CrashStates, EverySaveLeavesTheOldOrTheNewFileAndNothingElse) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto [states, violations] = enumerate(row);
    std::printf("[ crash states ] %s: %zu\n", row.name, states);
    EXPECT_EQ(violations, 0u);
  }
  for (const char* step : {"sync", "syncDirectory"}) {  // the enumeration finds what a missing fsync would lose
    SCOPED_TRACE(step);
    EXPECT_GT(enumerate(rows[1], step).second, 0u);
  }
}

}  // namespace
}  // namespace hushwall
