// The daemon's files: the two atomic writers (RootOwnedFile::write and HostsFile::writeData) with
// a failure at each step, the attributes each gives its file and every state a power cut during a
// write may leave; and how the schedules store saves (its reads are in the coordinator's tables).
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
#include "HushwallCore/Json.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"
#include "support/Unprivileged.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using namespace testing;

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

// Root-only files and directories whatever the umask and the user; a new hosts file is 0644 whatever the umask, written
// through a link to its directory, and a write first removes what an interrupted one left; a temporary file never
// follows a link.
TEST(AtomicWrite, EachWriterGivesItsFileItsAttributes) {
  TemporaryDirectory dir;
  const std::string stale = ".hosts-" + Uuid::random().string() + ".tmp",
                    notOurs = ".hosts-" + Uuid::random().string() + ".temp";
  writeFile(dir.file(stale), "left by a crash"), writeFile(dir.file(notOurs), "");
  ASSERT_TRUE(::chmod(dir.path().c_str(), 0777) == 0 && ::symlink(dir.path().c_str(), dir.file("etc").c_str()) == 0);
  EXPECT_EQ(testing::asUnprivilegedUser([&] {
              const mode_t umask = ::umask(0277);  // even a umask that takes the owner's write bit
              auto written = RootOwnedFile(dir.file("state/nested/session.json")).write("user");
              if (written) written = HostsFile(dir.file("etc/hosts")).writeData("linked\n");
              ::umask(umask);
              return written ? "" : describe(written.error());
            }),
            "");
  for (auto [name, mode] :
       {std::pair{"state", 0700}, {"state/nested", 0700}, {"state/nested/session.json", 0600}, {"hosts", 0644}}) {
    EXPECT_EQ(testing::fileMode(dir.file(name)), mode) << name;
  }
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

  // What a reader may find at `path` after a crash now, for any subset of the unsynced directory changes:
  // nothing when it or its directory is missing, else its synced or current bytes and attributes, mixed,
  // or half the new bytes.
  [[nodiscard]] std::set<std::optional<Contents>> crashStates(const std::string& path) const {
    std::set<std::optional<Contents>> found;
    for (std::size_t kept = 0; kept < (1u << pending.size()); ++kept) {
      std::map<std::string, int> entries = synced;
      for (std::size_t i = 0; i < pending.size(); ++i) {
        if ((kept >> i & 1) != 0) put(entries, pending[i]);
      }
      if (!entries.contains(path) || !entries.contains(FileIO::parentDirectory(path))) {
        found.insert(std::nullopt);
        continue;
      }
      const auto& [on, in] = inodes[static_cast<std::size_t>(entries.at(path))];
      found.insert({on, in, Contents{in.bytes, on.attributes}, Contents{on.bytes, in.attributes}});
      if (on.bytes != in.bytes) found.insert(Contents{in.bytes.substr(0, in.bytes.size() / 2), on.attributes});
    }
    return found;
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

// One write is recorded at its file steps and replayed on a Disk. After each step, whatever a crash
// may leave at the file's path must be the old or the new file (the new once the write returned).
// Returns the number of such states.
std::size_t enumerate(const Row& row) {
  TemporaryDirectory dir;
  const std::string path = dir.file(row.file);
  EXPECT_TRUE(!row.old || write(row.hosts, path, row.old, FileIO::Steps::live()));
  EXPECT_TRUE(!row.hosts ||
              (::chmod(path.c_str(), 0640) == 0 && (::geteuid() != 0 || ::chown(path.c_str(), 1234, 5678) == 0)));
  Disk disk;
  disk.synced[dir.path()] = disk.current[dir.path()] = -1;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
    const std::string name = entry.path();
    disk.synced[name] = disk.current[name] = entry.is_directory() ? -1 : disk.add(*contentsOf(name));
  }
  const auto before = contentsOf(path);
  std::vector<Call> trace;
  EXPECT_TRUE(write(row.hosts, path, row.replacement, recording(trace)));
  const auto after = contentsOf(path);
  std::size_t states = 0;
  for (std::size_t done = 0; done <= trace.size(); ++done) {
    if (done > 0) disk.apply(trace[done - 1]);
    for (const auto& found : disk.crashStates(path)) {
      ++states;
      EXPECT_TRUE(found == after || (done < trace.size() && found == before)) << "after " << done << " steps";
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

// A schedule set is written at the lowest version that holds it, so that an older reader can still
// read it; records alone keep no file; removing what is gone succeeds.
TEST(Stores, SaveAtTheLowestVersionAndRemoveTwice) {
  TemporaryDirectory dir;
  ScheduleStore schedules(dir.path());
  ScheduleSet set{
      3, {testing::weeklySchedule({2}, 600, 3600, 1), testing::weeklySchedule({3, 5}, 0, 86400, 2)}, {}, {}};
  for (int version : {2, 3}) {
    ASSERT_TRUE(schedules.save(set));
    EXPECT_EQ(Json::parse(readFile(schedules.path()))["schemaVersion"], version);
    set.schedules[1].blocklists.emplace_back(fixedID(77), "News");
  }
  ASSERT_TRUE(schedules.save(ScheduleSet{3, {}, {{fixedID(1), Date{5}}}, {}}));
  EXPECT_TRUE(schedules.remove());
  EXPECT_EQ(dir.names(), std::vector<std::string>{});
}

}  // namespace
}  // namespace hushwall
