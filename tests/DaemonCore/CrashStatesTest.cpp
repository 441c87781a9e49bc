// Guards against: a power cut during a save leaving a torn, empty or missing
// file, a file with the wrong mode or owner, a lost session file, or a
// schedules file from neither save. One save through each writer is recorded
// at its file steps; from that trace every state a file system may keep after
// a crash is built: the save cut after any step, bytes and attributes not yet
// fsynced lost, half there or all there, and each directory change (create,
// rename, unlink, mkdir) not followed by a directory fsync kept or lost.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "DaemonCore/HostsFile.hpp"
#include "DaemonCore/ScheduleStore.hpp"
#include "DaemonCore/SessionStore.hpp"
#include "support/ScheduleFixtures.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using testing::fixedID;
using testing::readFile;
using testing::weeklySchedule;
using testing::writeFile;

struct Call {
  std::string step, path, to, bytes;
  FileIO::Attributes attributes;
};

struct Attributes {
  mode_t mode;
  uid_t owner;
  gid_t group;
  auto operator<=>(const Attributes&) const = default;
};

struct Contents {
  std::string bytes;
  Attributes attributes;
  auto operator<=>(const Contents&) const = default;
};

// A file system that keeps only what was synced. Entries map a path to an
// inode, or to -1 for a directory; each directory change is a list of entry
// changes applied together.
struct Disk {
  using Change = std::vector<std::pair<std::string, std::optional<int>>>;
  std::map<std::string, int> synced, current;
  std::vector<Change> pending;
  std::vector<std::pair<Contents, Contents>> inodes;  // synced, current

  void change(Change c) {
    for (const auto& [path, inode] : c) inode ? void(current[path] = *inode) : void(current.erase(path));
    pending.push_back(std::move(c));
  }
  void apply(const Call& call) {
    if (call.step == "create") {
      Contents empty{"", {call.attributes.permissions, ::geteuid(), ::getegid()}};
      inodes.emplace_back(empty, empty);
      change({{call.path, static_cast<int>(inodes.size() - 1)}});
    } else if (call.step == "mkdir") {
      change({{call.path, -1}});
    } else if (call.step == "write") {
      inodes[current.at(call.path)].second.bytes = call.bytes;
    } else if (call.step == "attributes") {
      Attributes& a = inodes[current.at(call.path)].second.attributes;
      a = {call.attributes.permissions, call.attributes.owner.value_or(a.owner),
           call.attributes.group.value_or(a.group)};
    } else if (call.step == "sync") {
      auto& inode = inodes[current.at(call.path)];
      inode.first = inode.second;
    } else if (call.step == "rename") {
      change({{call.to, current.at(call.path)}, {call.path, std::nullopt}});
    } else if (call.step == "unlink") {
      if (current.contains(call.path)) change({{call.path, std::nullopt}});
    } else if (call.step == "syncDirectory") {
      std::erase_if(pending, [&](const Change& c) {
        if (FileIO::parentDirectory(c.front().first) != call.path) return false;
        for (const auto& [path, inode] : c) inode ? void(synced[path] = *inode) : void(synced.erase(path));
        return true;
      });
    }
  }

  // Every state a crash now may leave, as path -> contents (nullopt: a directory).
  [[nodiscard]] std::set<std::map<std::string, std::optional<Contents>>> crashStates() const {
    std::set<std::map<std::string, std::optional<Contents>>> states;
    for (std::size_t kept = 0; kept < (1u << pending.size()); ++kept) {
      std::map<std::string, int> entries = synced;
      for (std::size_t i = 0; i < pending.size(); ++i) {
        if ((kept >> i & 1) == 0) continue;
        for (const auto& [path, inode] : pending[i]) inode ? void(entries[path] = *inode) : void(entries.erase(path));
      }
      std::vector<std::map<std::string, std::optional<Contents>>> partial{{}};
      for (const auto& [path, inode] : entries) {
        std::vector<std::optional<Contents>> choices{std::nullopt};
        if (inode >= 0) {
          const auto& [on, in] = inodes[static_cast<std::size_t>(inode)];
          std::set<Contents> set{on, in, {in.bytes, on.attributes}, {on.bytes, in.attributes}};
          if (on.bytes != in.bytes) set.insert({in.bytes.substr(0, in.bytes.size() / 2), on.attributes});
          choices.assign(set.begin(), set.end());
        }
        std::vector<std::map<std::string, std::optional<Contents>>> next;
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

// The live steps, each recorded as it runs; `skipped` is left out of the trace.
FileIO::Steps recording(std::vector<Call>& trace, const std::string& skipped) {
  const FileIO::Steps& live = FileIO::Steps::live();
  FileIO::Steps s = live;
  auto note = [&trace, skipped](Call call) {
    if (call.step != skipped) trace.push_back(std::move(call));
  };
  s.createTemp = [=, &live](const std::string& p, mode_t mode) {
    return note({"create", p, "", "", {mode, {}, {}}}), live.createTemp(p, mode);
  };
  s.makeDirectory = [=, &live](const std::string& p, mode_t mode) {
    return note({"mkdir", p, "", "", {}}), live.makeDirectory(p, mode);
  };
  s.write = [=, &live](const std::string& p, std::string_view b) {
    return note({"write", p, "", std::string(b), {}}), live.write(p, b);
  };
  s.setAttributes = [=, &live](const std::string& p, const FileIO::Attributes& a) {
    return note({"attributes", p, "", "", a}), live.setAttributes(p, a);
  };
  s.sync = [=, &live](const std::string& p) { return note({"sync", p, "", "", {}}), live.sync(p); };
  s.rename = [=, &live](const std::string& f, const std::string& t) {
    return note({"rename", f, t, "", {}}), live.rename(f, t);
  };
  s.syncDirectory = [=, &live](const std::string& d) { note({"syncDirectory", d, "", "", {}}), live.syncDirectory(d); };
  s.removeTemp = [=, &live](const std::string& p) { note({"unlink", p, "", "", {}}), live.removeTemp(p); };
  s.remove = [=, &live](const std::string& p) { return note({"unlink", p, "", "", {}}), live.remove(p); };
  return s;
}

void materialize(const std::string& root, const std::map<std::string, std::optional<Contents>>& state) {
  for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
  for (const auto& [path, contents] : state) {  // sorted, so a directory comes before its files
    if (!fs::exists(FileIO::parentDirectory(path))) continue;
    if (!contents) {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
      continue;
    }
    writeFile(path, contents->bytes, contents->attributes.mode);
    ASSERT_EQ(::chmod(path.c_str(), contents->attributes.mode), 0);
    ASSERT_TRUE(::geteuid() != 0 || ::chown(path.c_str(), contents->attributes.owner, contents->attributes.group) == 0);
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
  state.id = fixedID(5);
  state.domains = {"example.com"};
  state.totalDuration = 3600;
  state.consumed = consumed;
  state.lastTick = Tick{Date{700000000}, Date{699990000}, 8125.25, "boot-1"};
  state.startedAt = Date{699999874.5};
  return state;
}

struct Row {
  const char* name;
  std::function<void(const std::string& root)> setUp;
  std::function<Result<void>(const std::string& root, const FileIO::Steps& steps)> save;
  // What a fresh reader finds, with the file's attributes.
  std::function<std::string(const std::string& root)> observe;
};

std::string observeSession(const std::string& root) {
  SessionStore store(root + "/state");
  auto loaded = store.load();
  if (!loaded) return "unreadable";
  return (*loaded ? (*loaded)->encoded() : "none") + " " + attributesOf(store.path());
}

std::string observeSchedules(const std::string& root) {
  auto loaded = ScheduleStore(root).load();
  if (auto* set = std::get_if<ScheduleSet>(&loaded))
    return set->encoded() + " " + attributesOf(root + "/schedules.json");
  return std::holds_alternative<ScheduleStore::None>(loaded) ? "none" : "quarantined";
}

const ScheduleSet one{3, {weeklySchedule({2}, 600, 3600, 1)}, {}, {}};
const ScheduleSet two{3, {weeklySchedule({2}, 600, 3600, 1), weeklySchedule({3, 5}, 0, 86400, 2)}, {}, {}};

const Row rows[] = {
    {"session, first save", [](const std::string&) {},
     [](const std::string& root, const FileIO::Steps& s) { return SessionStore(root + "/state", s).save(session(1)); },
     observeSession},
    {"session, replaced", [](const std::string& root) { ASSERT_TRUE(SessionStore(root + "/state").save(session(1))); },
     [](const std::string& root, const FileIO::Steps& s) { return SessionStore(root + "/state", s).save(session(2)); },
     observeSession},
    {"schedules, one added", [](const std::string& root) { ASSERT_TRUE(ScheduleStore(root).save(one)); },
     [](const std::string& root, const FileIO::Steps& s) { return ScheduleStore(root, s).save(two); },
     observeSchedules},
    {"schedules, the last removed", [](const std::string& root) { ASSERT_TRUE(ScheduleStore(root).save(one)); },
     [](const std::string& root, const FileIO::Steps& s) { return ScheduleStore(root, s).save(ScheduleSet{}); },
     observeSchedules},
    {"hosts file, keeping its mode and owner",
     [](const std::string& root) {
       writeFile(root + "/hosts", "127.0.0.1\tlocalhost\n", 0644);
       ASSERT_TRUE(::geteuid() != 0 || ::chown((root + "/hosts").c_str(), 1234, 5678) == 0);
     },
     [](const std::string& root, const FileIO::Steps& s) {
       return HostsFile(root + "/hosts", s).writeData("127.0.0.1\texample.com\n127.0.0.1\tlocalhost\n");
     },
     [](const std::string& root) { return readFile(root + "/hosts") + attributesOf(root + "/hosts"); }},
};

struct Outcome {
  std::size_t states = 0, violations = 0;
};

// Each state is checked: the old or the new contents, the new once the save
// returned, and after the next save nothing but the files of a clean save.
Outcome enumerate(const Row& row, const std::string& skipped = "") {
  testing::TemporaryDirectory dir;
  const std::string& root = dir.path();
  row.setUp(root);
  const std::string before = row.observe(root);
  Disk disk;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string path = entry.path().string();
    if (entry.is_directory()) {
      disk.synced[path] = disk.current[path] = -1;
      continue;
    }
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    Contents contents{readFile(path), {info.st_mode & 07777, info.st_uid, info.st_gid}};
    disk.inodes.emplace_back(contents, contents);
    disk.synced[path] = disk.current[path] = static_cast<int>(disk.inodes.size() - 1);
  }
  std::vector<Call> trace;
  EXPECT_TRUE(row.save(root, recording(trace, skipped)));
  const std::string after = row.observe(root), clean = listing(root);
  FileIO::Steps quick = FileIO::Steps::live();  // the next save, which need not survive a crash
  quick.sync = [](const std::string&) -> Result<void> { return {}; };
  quick.syncDirectory = [](const std::string&) {};
  Outcome outcome;
  for (std::size_t done = 0; done <= trace.size(); ++done) {
    if (done > 0) disk.apply(trace[done - 1]);
    for (const auto& state : disk.crashStates()) {
      ++outcome.states;
      materialize(root, state);
      std::string seen = row.observe(root);
      bool sound = done == trace.size() ? seen == after : seen == before || seen == after;
      sound = row.save(root, quick) && listing(root) == clean && sound;
      if (!sound && skipped.empty()) ADD_FAILURE() << "after " << done << " steps: " << seen;
      outcome.violations += sound ? 0 : 1;
    }
  }
  return outcome;
}

TEST(CrashStates, EverySaveLeavesTheOldOrTheNewFileAndNothingElse) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Outcome outcome = enumerate(row);
    std::printf("[ crash states ] %s: %zu\n", row.name, outcome.states);
    EXPECT_EQ(outcome.violations, 0u);
  }
  // The enumeration finds what a missing fsync would lose.
  for (const char* step : {"sync", "syncDirectory"}) {
    SCOPED_TRACE(step);
    EXPECT_GT(enumerate(rows[1], step).violations, 0u);
  }
}

}  // namespace
}  // namespace hushwall
