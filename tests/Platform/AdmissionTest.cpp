// Admission of callers: the code requirement and the identity note it reads,
// the admission steps and their memory, and the bus that runs them on every call.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <tuple>

#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"
#include "Platform/AdmissionCache.hpp"
#include "Platform/BusConnection.hpp"
#include "Platform/CodeRequirement.hpp"
#include "PrivateBus.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/Subprocess.hpp"
#include "support/TemporaryDirectory.hpp"
#include "support/WaitUntil.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using Reason = Refusal::Reason;
using Owner = CodeRequirement::Owner;

std::string helperBytes(const std::string& name) { return testing::readFile(HUSHWALL_TEST_HELPERS_DIR "/" + name); }
// Met by the genuine helper and by this binary, stamped alike; the files belong to whoever runs the tests, which
// is the sandbox rule.
const std::string requirement =
    R"(identifier "org.hushwall.test.caller" and anchor apple generic and certificate leaf[subject.OU] = "HW7Q3K9P2L")";

// A verdict's refusal, or Reason{} when it passed.
template <class T>
Reason reasonOf(const std::expected<T, Refusal>& verdict) {
  return verdict ? Reason{} : verdict.error().reason;
}

TEST(CodeRequirementParse, TextsThatDoNotParseFailClosed) {
  for (std::string_view text : std::initializer_list<std::string_view>{
           "identifier \"org\0app\" and certificate leaf[subject.OU] = \"T\""sv,
           "",
           R"(identifier "org.hushwall.app")",                // no team: admits any maker
           R"(certificate leaf[subject.OU] = "HW7Q3K9P2L")",  // no program
           R"(identifier "org.hushwall.app" or certificate leaf[subject.OU] = "T")",
           R"(identifier "org.hushwall.app" and certificate leaf[subject.OU] = "T" and)",
           R"(identifier "org.hushwall.app" certificate leaf[subject.OU] = "T")",
           R"(identifier "org.hushwall.app and certificate leaf[subject.OU] = "T")",
           R"(identifier "" and certificate leaf[subject.OU] = "T")",
           R"(identifier org.hushwall.app and certificate leaf[subject.OU] = "T")",
           R"(identifier "a\"b" and certificate leaf[subject.OU] = "T")",
           R"(identifier "a" and identifier "b" and certificate leaf[subject.OU] = "T")",
           R"(identifier "a" and certificate leaf[subject.CN] = "T")",
           R"(identifier "a" and certificate leaf[subject.OU] "T")",
           R"(identifier "a" and anchor apple and certificate leaf[subject.OU] = "T")",
           R"(identifier "a" and certificate leaf[subject.OU] = "T" and certificate leaf[subject.OU] = "U")",
       }) {
    EXPECT_EQ(reasonOf(CodeRequirement::parse(text)), Reason::unparsableRequirement) << text;
  }
}

// The files here belong to whoever runs the test: "processUser" is the sandbox
// rule and, run as root, the machine's rule as well.
TEST(CodeRequirementFile, OnlyTheGenuineRootOrOwnUserExecutablePasses) {
  testing::TemporaryDirectory dir;
  auto file = [&](const std::string& name, const std::string& bytes, unsigned mode = 0755) {
    testing::writeFile(dir.file(name), bytes, mode);
    return dir.file(name);
  };
  const std::string caller = helperBytes("hushwall_test_caller");
  auto own = CodeRequirement::parse(requirement, Owner::processUser).value();
  auto rootRule = CodeRequirement::parse(requirement, Owner::root).value();
  fs::create_symlink(file("genuine", caller), dir.file("link"));
  mkfifo(dir.file("fifo").c_str(), 0755);
  fs::create_directories(dir.file("directory"));
  // Owned by someone else: as root, hand the file to "nobody"; otherwise our own file fails the root rule.
  ASSERT_TRUE(geteuid() != 0 || chown(file("foreign", caller).c_str(), 65534, 65534) == 0);
  const CodeRequirement& foreignRule = geteuid() == 0 ? own : rootRule;

  // clang-format off
  const std::vector<std::tuple<std::string, std::string, Reason, const CodeRequirement*>> cases = {
      {"genuine", dir.file("genuine"), {}, &own},
      {"through a symbolic link", dir.file("link"), {}, &own},
      {"group-writable", file("group-writable", caller, 0775), Reason::writableByOthers, &own},
      {"world-writable", file("world-writable", caller, 0757), Reason::writableByOthers, &own},
      {"not executable", file("not-executable", caller, 0644), Reason::notExecutable, &own},
      {"owned by another user", dir.file("foreign"), Reason::untrustedOwner, &foreignRule},
      {"stamped for another program", file("impostor", helperBytes("hushwall_test_impostor")), Reason::otherIdentifier, &own},
      {"stamped for another team", file("other-team", helperBytes("hushwall_test_other_team")), Reason::otherTeam, &own},
      {"a script without the note", file("script", "#!/bin/sh\nexit 0\n"), Reason::noIdentity, &own},
      {"an empty file", file("empty", ""), Reason::noIdentity, &own},
      {"a named pipe", dir.file("fifo"), Reason::notRegularFile, &own},
      {"a directory", dir.file("directory"), Reason::notRegularFile, &own},
      {"an absent path", dir.file("absent"), Reason::unreadable, &own},
      {"a system program owned by root", "/bin/sh", Reason::noIdentity, &rootRule},
  };
  // clang-format on
  for (const auto& [name, path, refusal, rule] : cases) EXPECT_EQ(reasonOf(rule->checkFile(path)), refusal) << name;
}

// A minimal ELF64 file: header, note sections, a name table and the section
// headers, so that tests can corrupt each part.
struct ElfImage {
  std::string noteOwner{"Hushwall\0", 9};
  std::uint32_t noteType = 1;
  std::string descriptor{"org.hushwall.app\0HW7Q3K9P2L\0", 28};
  std::uint64_t alignment = 4;
  int noteSections = 1, notesPerSection = 1;

  [[nodiscard]] std::string build() const {
    std::string bytes(sizeof(Elf64_Ehdr), '\0');
    auto append = [&bytes](const void* data, std::size_t size, std::size_t alignTo) {
      bytes.append(static_cast<const char*>(data), size);
      bytes.resize((bytes.size() + alignTo - 1) / alignTo * alignTo);
    };
    std::vector<Elf64_Shdr> sections(1);  // the null section
    for (int i = 0; i < noteSections; ++i) {
      Elf64_Shdr& section = sections.emplace_back(Elf64_Shdr{1, SHT_NOTE, 0, 0, bytes.size(), 0, 0, 0, alignment, 0});
      for (int n = 0; n < notesPerSection; ++n) {
        const std::uint32_t sizes[] = {std::uint32_t(noteOwner.size()), std::uint32_t(descriptor.size()), noteType};
        append(sizes, sizeof sizes, 1);
        append(noteOwner.data(), noteOwner.size(), alignment);
        append(descriptor.data(), descriptor.size(), alignment);
      }
      section.sh_size = bytes.size() - section.sh_offset;
      append("", 0, 8);
    }
    const std::string names("\0.note.hushwall.ident\0.shstrtab\0", 32);
    sections.push_back({22, SHT_STRTAB, 0, 0, bytes.size(), names.size(), 0, 0, 1, 0});
    append(names.data(), names.size(), 8);
    const auto count = static_cast<std::uint16_t>(sections.size());
    // clang-format off
    const Elf64_Ehdr header{{ELFMAG0, ELFMAG1, ELFMAG2, ELFMAG3, ELFCLASS64, ELFDATA2LSB, EV_CURRENT}, ET_EXEC, EM_X86_64,
        EV_CURRENT, 0, 0, bytes.size(), 0, sizeof(Elf64_Ehdr), 0, 0, sizeof(Elf64_Shdr), count, std::uint16_t(count - 1)};
    // clang-format on
    bytes.replace(0, sizeof header, reinterpret_cast<const char*>(&header), sizeof header);
    append(sections.data(), sections.size() * sizeof(Elf64_Shdr), 1);
    return bytes;
  }
};

// What the identity note of a file holding `bytes` says.
std::expected<CodeIdentity, Refusal> noteIn(const std::string& bytes) {
  int fd = memfd_create("elf", MFD_CLOEXEC);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  auto identity = readIdentityNote(fd);
  close(fd);
  return identity;
}

TEST(IdentityNote, ReadsWellFormedNotesAndRefusesCraftedOnesAsCarryingNoIdentity) {
  for (std::uint64_t alignment : {4u, 8u})
    EXPECT_EQ(noteIn(ElfImage{.alignment = alignment}.build()).value(), CodeIdentity("org.hushwall.app", "HW7Q3K9P2L"));

  const std::string good = ElfImage{}.build();
  auto poke = [&](std::size_t offset, auto value) {
    return std::string(good).replace(offset, sizeof value, reinterpret_cast<const char*>(&value), sizeof value);
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"big-endian", poke(EI_DATA, std::uint8_t{ELFDATA2MSB})},
      {"32-bit class", poke(EI_CLASS, std::uint8_t{ELFCLASS32})},
      {"bad magic", poke(1, 'X')},
      {"no section headers", poke(offsetof(Elf64_Ehdr, e_shoff), std::uint64_t{0})},
      {"section headers past the end", poke(offsetof(Elf64_Ehdr, e_shoff), ~0ull - 8)},
      {"odd header size", poke(offsetof(Elf64_Ehdr, e_shentsize), std::uint16_t{32})},
      {"huge section count", poke(offsetof(Elf64_Ehdr, e_shnum), std::uint16_t{0xFFFF})},
      {"extended count, zero", poke(offsetof(Elf64_Ehdr, e_shnum), std::uint16_t{0})},
      {"name table index out of range", poke(offsetof(Elf64_Ehdr, e_shstrndx), std::uint16_t{40})},
      {"extended name table index", poke(offsetof(Elf64_Ehdr, e_shstrndx), std::uint16_t{SHN_XINDEX})},
      {"note name size past the section", poke(sizeof(Elf64_Ehdr), 0xFFFFFFF0u)},
      {"note descriptor size past the section", poke(sizeof(Elf64_Ehdr) + 4, 0xFFFFFFFFu)},
      {"other owner", ElfImage{.noteOwner = std::string("GNU\0", 4)}.build()},
      {"other type", ElfImage{.noteType = 3}.build()},
      {"descriptor without a team", ElfImage{.descriptor = std::string("org.hushwall.app\0", 17)}.build()},
      {"descriptor with trailing bytes", ElfImage{.descriptor = std::string("a\0T\0x", 5)}.build()},
      {"descriptor with an empty identifier", ElfImage{.descriptor = std::string("\0T\0", 3)}.build()},
      {"descriptor without terminators", ElfImage{.descriptor = "org.hushwall.app"}.build()},
      {"two identity sections", ElfImage{.noteSections = 2}.build()},
      {"two identity notes in one section", ElfImage{.notesPerSection = 2}.build()},
  };
  for (const auto& [name, bytes] : cases) EXPECT_EQ(reasonOf(noteIn(bytes)), Reason::noIdentity) << name;
  // Every truncation is refused; random bytes are the fuzz target's.
  for (std::size_t length = 0; length < good.size(); ++length) EXPECT_FALSE(noteIn(good.substr(0, length))) << length;
}

const std::string path = "/org/hushwall/test", interface = "org.hushwall.Test";

class BusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    (void)testing::PrivateBus::shared(HUSHWALL_SOURCE_DIR "/packaging/test-bus.conf");
    // Copies with a fixed mode, whatever the build's umask was.
    for (const std::string name : {"hushwall_test_caller", "hushwall_test_impostor"})
      testing::writeFile(dir_.file(name), helperBytes(name), 0755);
  }

  // Serves Nothing (→), counting the calls admitted to it.
  void SetUp() override {
    auto count = [this](const BusCaller&, std::string_view) {
      ++admitted_;
      return std::expected<std::string, DaemonError>();
    };
    busName_ = cat("org.hushwall.test.", ::testing::UnitTest::GetInstance()->current_test_info()->name());
    server_ = BusConnection::openSystem(serverQueue_).value();
    client_ = BusConnection::openSystem(clientQueue_).value();
    const std::vector<BusMethod> methods{{"Nothing", false, false, count}};
    ASSERT_TRUE(server_->serve(BusService{
        busName_, path, interface, methods, {}, requirement, Owner::processUser, Logger(LogSubsystem::daemon, "bus")}));
  }
  std::size_t refusals() const {
    return std::ranges::count_if(log_.messages("bus"), [](const auto& line) { return line.starts_with("refused"); });
  }

  static inline testing::TemporaryDirectory dir_;
  testing::CapturingLogSink log_;
  std::string busName_;
  std::atomic<std::size_t> admitted_ = 0;
  SerialQueue serverQueue_{"org.hushwall.test.server"}, clientQueue_{"org.hushwall.test.client"};
  std::unique_ptr<BusConnection> server_, client_;
};

// A second connection of the same process is a new peer; once it leaves, its admission is forgotten.
TEST_F(BusTest, AnAdmittedCallerIsLoggedOncePerConnectionAndForgottenOnceItLeaves) {
  SerialQueue otherQueue("org.hushwall.test.other");
  auto other = BusConnection::openSystem(otherQueue).value();
  for (auto* c : {client_.get(), client_.get(), other.get()})
    EXPECT_TRUE(c->call(busName_, path, interface, "Nothing"));
  EXPECT_EQ(admitted_, 3u);
  EXPECT_EQ(log_.count(cat("accepted connection pid=", static_cast<int>(getpid()), " euid=", geteuid())), 2u);
  EXPECT_EQ(server_->admittedNames(), 2u);
  other.reset();
  EXPECT_TRUE(testing::waitUntil([&] { return server_->admittedNames() == 1; }, 10s, 1ms));
}

// The confirmation asks the bus which process owns the caller's name now.
TEST_F(BusTest, TheConfirmationComparesTheProcessBehindTheName) {
  sd_bus* bus = nullptr;
  sd_bus_message* call = nullptr;
  const std::string unique = client_->uniqueName();
  ASSERT_GE(sd_bus_open_system(&bus), 0);
  ASSERT_GE(sd_bus_message_new_signal(bus, &call, "/", "org.hushwall.Test", "Any"), 0);  // only its bus is used
  EXPECT_TRUE(PeerAdmission::confirmSender(call, BusCaller{getpid(), geteuid(), unique}));
  for (const BusCaller& other : {BusCaller{getpid() + 1, geteuid(), unique}, BusCaller{getpid(), 0, ":1.999999"}})
    EXPECT_EQ(reasonOf(PeerAdmission::confirmSender(call, other)), Reason::callerGone);
  sd_bus_message_unref(call);
  sd_bus_flush_close_unref(bus);
}

// The helper calls, then its successor (after an exec, or a child once the helper has exited) calls again on the
// same connection: how many of the two calls are admitted once the first, then the second is decided.
TEST_F(BusTest, AnAdmissionLastsOnlyWhileTheSameProcessRunsTheSameFile) {
  fs::copy_file(dir_.file("hushwall_test_caller"), dir_.file("swapped"), fs::copy_options::overwrite_existing);
  const std::string caller = "hushwall_test_caller", impostor = "hushwall_test_impostor";
  // The name, the program and how it hands over, its successor, and how many calls are admitted: first, of both.
  const std::vector<std::tuple<std::string, std::string, std::string, std::string, std::size_t, std::size_t>> cases = {
      {"the same program again", caller, "exec", caller, 1, 2},
      {"a program stamped for another", caller, "exec", impostor, 1, 1},
      {"the stamped file replaced on disk", "swapped", "exec", "swapped", 1, 1},
      {"a refused caller trying again", impostor, "exec", impostor, 0, 0},
      {"its process gone, a child on its connection", caller, "fork", caller, 1, 1},
  };
  for (const auto& [name, program, mode, successor, admittedFirst, admittedBoth] : cases) {
    SCOPED_TRACE(name);
    const std::size_t admitted = admitted_, decided = admitted + refusals();
    auto admittedOnce = [&](std::size_t calls) {  // of this row's calls, once `calls` are decided
      EXPECT_TRUE(testing::waitUntil([&] { return admitted_ + refusals() == decided + calls; }, 10s, 1ms));
      return admitted_ - admitted;
    };
    testing::Subprocess running({dir_.file(program), busName_, mode, dir_.file(successor)});
    EXPECT_EQ(admittedOnce(1), admittedFirst);
    if (program == "swapped") {  // renamed over it, as an update would: the running file cannot be written
      fs::copy_file(dir_.file(impostor), dir_.file("swapped.new"), fs::copy_options::overwrite_existing);
      fs::rename(dir_.file("swapped.new"), dir_.file("swapped"));
    }
    running.write("\n");
    EXPECT_EQ(admittedOnce(2), admittedBoth);
    running.closeInput();
    EXPECT_EQ(running.finish(), 0);
  }
}

const BusCaller someCaller{4242, 1000, ":1.7"};
const ProcessStamp someStamp{77, 1, 2, 3, 4, 5, 6, 7};

// Scripted seams admit `someCaller`, counting the steps they run; a row makes one refuse, or changes what the
// process stamp reads after a first admission. A remembered admission is used only while the stamp reads the
// same; any other reading sends the caller through the whole admission again.
TEST(PeerAdmission, EveryFailingStepRefusesAndARememberedCallerIsReexaminedWhenItsProcessReadsDifferently) {
  struct Case {
    std::string name;
    int failing;  // 1 lookUp, 2 examine, 3 confirm refuse; 4: the process changes while examined; -1: bad requirement
    std::function<void(std::optional<ProcessStamp>&)> change;  // empty: no first admission
    Reason reason;                                             // Reason{}: admitted
    int steps;                                                 // 0: admitted from memory
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"all succeed", 0, nullptr, {}, 3},
      {"unparsable requirement", -1, nullptr, Reason::unparsableRequirement, 0},
      {"lookup errs", 1, nullptr, Reason::lookupFailed, 1},
      {"other program", 2, nullptr, Reason::otherIdentifier, 2},
      {"caller gone after the check", 3, nullptr, Reason::callerGone, 3},
      {"caller changed during the check", 4, nullptr, Reason::callerGone, 3},
      {"remembered, unchanged", 0, [](auto&) {}, {}, 0},
      {"pid reused by a process started later", 2, [](auto& s) { s->startTime += 1; }, Reason::otherIdentifier, 2},
      {"another executable", 2, [](auto& s) { s->inode += 1; }, Reason::otherIdentifier, 2},
      {"executable rewritten in place", 2, [](auto& s) { s->mtimeNanoseconds += 1; }, Reason::otherIdentifier, 2},
      {"executable grown", 2, [](auto& s) { s->size += 1; }, Reason::otherIdentifier, 2},
      {"executable changed, modification time set back", 2, [](auto& s) { s->ctimeSeconds += 1; }, Reason::otherIdentifier, 2},
      {"unreadable /proc", 0, [](auto& s) { s.reset(); }, Reason::callerGone, 1},
      {"changed but still stamped", 0, [](auto& s) { s->device += 1; }, {}, 3},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int steps = 0;
    bool scripted = !c.change;  // the row's refusal waits for the first admission to pass
    std::optional<ProcessStamp> now = someStamp;
    auto step = [&](int index) -> std::expected<void, Refusal> {
      ++steps;
      if (scripted && c.failing == 4 && index == 2) now->inode += 1;
      if (scripted && index == c.failing) return std::unexpected(Refusal{c.reason, ""});
      return {};
    };
    using Found = std::expected<BusCaller, Refusal>;
    const PeerAdmission admission{
        .sender = [](sd_bus_message*) { return someCaller.uniqueName; },
        .lookUp = [&](sd_bus_message*) { return step(1) ? Found(someCaller) : Found(std::unexpect, c.reason); },
        .examine = [&](const CodeRequirement&, pid_t) { return step(2); },
        .confirm = [&](sd_bus_message*, const BusCaller&) { return step(3); },
        .stamp = [&](pid_t) { return now; }};
    AdmissionCache cache;
    auto parsed = CodeRequirement::parse(c.failing < 0 ? "identifier" : requirement, Owner::processUser);
    if (c.change) {
      ASSERT_TRUE(admission.admit(parsed, nullptr, cache));
      c.change(now);
      scripted = true;
      steps = 0;
    }
    auto verdict = admission.admit(parsed, nullptr, cache);
    EXPECT_EQ(reasonOf(verdict), c.reason);
    EXPECT_EQ(steps, c.steps);
    const auto* kept = cache.find(someCaller.uniqueName);  // with the stamp read now
    EXPECT_EQ(kept ? std::optional(kept->stamp) : std::nullopt, verdict ? now : std::nullopt);
  }
}

// Each name is looked up, then remembered: past two names, the least recently used one is dropped.
TEST(AdmissionCache, KeepsTheMostRecentlyUsedNamesUpToItsCapacity) {
  AdmissionCache cache(2);
  std::string found;
  for (const char* name : {":1.1", ":1.2", ":1.1", ":1.3", ":1.1", ":1.4", ":1.1", ":1.3"}) {
    found += cache.find(name) ? "y" : "n";
    cache.insert({BusCaller{1, 0, name}, ProcessStamp{}});
  }
  EXPECT_EQ(found, "nnynynyn");
}

// Field 22 of /proc/PID/stat; the command name before it, in parentheses, may hold spaces and parentheses.
TEST(ProcessStamp, ReadsTheStartTimeWhateverTheCommandName) {
  const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 987654 19 20\n";
  for (const std::string& line :
       {"42 (bash)" + tail, "42 (a) b ) (c)" + tail, "42 ())" + tail, std::string(), std::string("42 (a) S 1 2 3"),
        std::string("42 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 98x 19")})
    EXPECT_EQ(startTimeField(line), line.ends_with(tail) ? std::optional(987654u) : std::nullopt) << line;
}

}  // namespace
}  // namespace hushwall
