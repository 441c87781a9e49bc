#include "Platform/CodeRequirement.hpp"

#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "HushwallCore/Identity.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using Reason = Refusal::Reason;
using Owner = CodeRequirement::Owner;

const std::string helpers = HUSHWALL_TEST_HELPERS_DIR;
constexpr std::string_view callerRequirement =
    R"(identifier "org.hushwall.test.caller" and anchor apple generic and certificate leaf[subject.OU] = "HW7Q3K9P2L")";

std::string requirementFor(std::string_view identifier, std::string_view team = "HW7Q3K9P2L") {
  return std::string("identifier \"")
      .append(identifier)
      .append("\" and certificate leaf[subject.OU] = \"")
      .append(team)
      .append("\"");
}

TEST(CodeRequirementParse, TextsThatDoNotParseFailClosed) {
  for (std::string_view text : {
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
    SCOPED_TRACE(text);
    auto requirement = CodeRequirement::parse(text);
    ASSERT_FALSE(requirement);
    EXPECT_EQ(requirement.error().reason, Reason::unparsableRequirement);
  }
  std::string withNul = requirementFor("a");
  withNul[13] = '\0';
  EXPECT_FALSE(CodeRequirement::parse(withNul));
}

// Files on disk, copied from the stamped helpers so their modes are ours to set.
class CodeRequirementFileTest : public ::testing::Test {
 protected:
  std::string copy(const std::string& helper, const std::string& name, mode_t mode = 0755) {
    auto path = dir_.file(name);
    fs::copy_file(helpers + "/" + helper, path);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }
  std::string write(const std::string& name, const std::string& bytes) {
    testing::writeFile(dir_.file(name), bytes, 0755);
    return dir_.file(name);
  }

  testing::TemporaryDirectory dir_;
};

TEST_F(CodeRequirementFileTest, OnlyTheGenuineRootOrOwnUserExecutablePasses) {
  // The files here belong to whoever runs the test: "processUser" is the
  // sandbox rule and, run as root, the machine's rule as well.
  auto own = CodeRequirement::parse(callerRequirement, Owner::processUser).value();
  auto genuine = copy("hushwall_test_caller", "genuine");
  fs::create_symlink(genuine, dir_.file("link"));
  mkfifo(dir_.file("fifo").c_str(), 0755);
  fs::create_directories(dir_.file("directory"));

  // Owned by someone else: as root, hand the file to "nobody"; otherwise our
  // own file fails the root rule.
  auto foreign = copy("hushwall_test_caller", "foreign");
  CodeRequirement foreignRule = own;
  if (geteuid() == 0) {
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  } else {
    foreignRule = CodeRequirement::parse(callerRequirement, Owner::root).value();
  }

  struct Case {
    std::string name;
    std::string path;
    std::optional<Reason> refusal;
    const CodeRequirement* rule;
  };
  std::vector<Case> cases = {
      {"genuine", genuine, std::nullopt, &own},
      {"through a symbolic link", dir_.file("link"), std::nullopt, &own},
      {"group-writable", copy("hushwall_test_caller", "group-writable", 0775), Reason::writableByOthers, &own},
      {"world-writable", copy("hushwall_test_caller", "world-writable", 0757), Reason::writableByOthers, &own},
      {"not executable", copy("hushwall_test_caller", "not-executable", 0644), Reason::notExecutable, &own},
      {"owned by another user", foreign, Reason::untrustedOwner, &foreignRule},
      {"stamped for another program", copy("hushwall_test_impostor", "impostor"), Reason::otherIdentifier, &own},
      {"stamped for another team", copy("hushwall_test_other_team", "other-team"), Reason::otherTeam, &own},
      {"a script without the note", write("script", "#!/bin/sh\nexit 0\n"), Reason::noIdentity, &own},
      {"an empty file", write("empty", ""), Reason::noIdentity, &own},
      {"a named pipe", dir_.file("fifo"), Reason::notRegularFile, &own},
      {"a directory", dir_.file("directory"), Reason::notRegularFile, &own},
      {"an absent path", dir_.file("absent"), Reason::unreadable, &own},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto verdict = c.rule->checkFile(c.path);
    if (!c.refusal) {
      EXPECT_TRUE(verdict) << verdict.error().detail;
    } else {
      ASSERT_FALSE(verdict);
      EXPECT_EQ(verdict.error().reason, *c.refusal) << verdict.error().detail;
    }
  }

  // A system program owned by root carries no note either.
  auto rootRule = CodeRequirement::parse(callerRequirement, Owner::root).value();
  EXPECT_EQ(rootRule.checkFile("/bin/sh").error().reason, Reason::noIdentity);
}

TEST(CodeRequirementProcess, ChecksTheExecutableBehindAProcessId) {
  struct stat self {};
  ASSERT_EQ(stat("/proc/self/exe", &self), 0);
  if (self.st_mode & (S_IWGRP | S_IWOTH)) GTEST_SKIP() << "the test binary is group- or world-writable (umask)";

  auto ownRule = CodeRequirement::parse(requirementFor("org.hushwall.test.platform"), Owner::processUser).value();
  EXPECT_TRUE(ownRule.checkProcess(getpid()));
  auto appRule = CodeRequirement::parse(CodeSigningRequirement::forApp, Owner::processUser).value();
  EXPECT_EQ(appRule.checkProcess(getpid()).error().reason, Reason::otherIdentifier);

  // A process that is gone cannot be examined, and is refused.
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(ownRule.checkProcess(child).error().reason, Reason::unreadable);
  EXPECT_EQ(ownRule.checkProcess(0).error().reason, Reason::lookupFailed);
  EXPECT_EQ(ownRule.checkProcess(-1).error().reason, Reason::lookupFailed);
}

// A minimal ELF64 file: header, one note section, a name table and three
// section headers, so that tests can corrupt each part.
struct ElfImage {
  std::string noteOwner{"Hushwall\0", 9};
  std::uint32_t noteType = 1;
  std::string descriptor{"org.hushwall.app\0HW7Q3K9P2L\0", 28};
  std::uint64_t alignment = 4;
  int noteSections = 1;
  int notesPerSection = 1;

  static void pad(std::string& bytes, std::size_t alignTo) {
    while (bytes.size() % alignTo) bytes.push_back('\0');
  }
  static void append(std::string& bytes, const void* data, std::size_t size) {
    bytes.append(static_cast<const char*>(data), size);
  }

  [[nodiscard]] std::string note() const {
    std::string bytes;
    std::uint32_t header[3] = {static_cast<std::uint32_t>(noteOwner.size()),
                               static_cast<std::uint32_t>(descriptor.size()), noteType};
    append(bytes, header, sizeof header);
    bytes += noteOwner;
    pad(bytes, alignment);
    bytes += descriptor;
    pad(bytes, alignment);
    return bytes;
  }

  [[nodiscard]] std::string build() const {
    std::string bytes(sizeof(Elf64_Ehdr), '\0');
    std::vector<Elf64_Shdr> sections(1);  // the null section
    const std::string names("\0.note.hushwall.ident\0.shstrtab\0", 32);
    for (int i = 0; i < noteSections; ++i) {
      pad(bytes, 8);
      Elf64_Shdr section{};
      section.sh_name = 1;
      section.sh_type = SHT_NOTE;
      section.sh_offset = bytes.size();
      section.sh_addralign = alignment;
      for (int n = 0; n < notesPerSection; ++n) bytes += note();
      section.sh_size = bytes.size() - section.sh_offset;
      sections.push_back(section);
    }
    Elf64_Shdr table{};
    table.sh_name = 22;
    table.sh_type = SHT_STRTAB;
    table.sh_offset = bytes.size();
    table.sh_size = names.size();
    bytes += names;
    sections.push_back(table);
    pad(bytes, 8);

    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_EXEC;
    header.e_machine = EM_X86_64;
    header.e_version = EV_CURRENT;
    header.e_ehsize = sizeof(Elf64_Ehdr);
    header.e_shoff = bytes.size();
    header.e_shentsize = sizeof(Elf64_Shdr);
    header.e_shnum = static_cast<std::uint16_t>(sections.size());
    header.e_shstrndx = static_cast<std::uint16_t>(sections.size() - 1);
    std::memcpy(bytes.data(), &header, sizeof header);
    append(bytes, sections.data(), sections.size() * sizeof(Elf64_Shdr));
    return bytes;
  }
};

template <class T>
void poke(std::string& bytes, std::size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

class IdentityNoteTest : public ::testing::Test {
 protected:
  std::expected<CodeIdentity, Refusal> read(const std::string& bytes) {
    testing::writeFile(path_, bytes);
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    auto identity = readIdentityNote(fd);
    close(fd);
    return identity;
  }

  testing::TemporaryDirectory dir_;
  const std::string path_ = dir_.file("elf");
};

TEST_F(IdentityNoteTest, ReadsTheNoteOfAWellFormedFileAndOfAStampedBuild) {
  auto identity = read(ElfImage{}.build());
  ASSERT_TRUE(identity) << identity.error().detail;
  EXPECT_EQ(*identity, (CodeIdentity{"org.hushwall.app", "HW7Q3K9P2L"}));

  ElfImage wide;
  wide.alignment = 8;
  EXPECT_EQ(read(wide.build()).value(), (CodeIdentity{"org.hushwall.app", "HW7Q3K9P2L"}));

  int fd = open((helpers + "/hushwall_test_other_team").c_str(), O_RDONLY | O_CLOEXEC);
  auto stamped = readIdentityNote(fd);
  close(fd);
  ASSERT_TRUE(stamped) << stamped.error().detail;
  EXPECT_EQ(*stamped, (CodeIdentity{"org.hushwall.test.caller", "ZZ9Z9Z9Z9Z"}));
}

TEST_F(IdentityNoteTest, CraftedFilesAreRefusedAsCarryingNoIdentity) {
  const std::string good = ElfImage{}.build();
  const std::size_t shoff = 0x28, shentsize = 0x3A, shnum = 0x3C, shstrndx = 0x3E, note = 64;
  struct Case {
    std::string name;
    std::function<std::string()> bytes;
  };
  auto patched = [&](auto change) {
    return [&good, change] {
      std::string bytes = good;
      change(bytes);
      return bytes;
    };
  };
  auto image = [](auto change) {
    return [change] {
      ElfImage elf;
      change(elf);
      return elf.build();
    };
  };
  std::vector<Case> cases = {
      {"big-endian", patched([](std::string& b) { b[EI_DATA] = ELFDATA2MSB; })},
      {"32-bit class", patched([](std::string& b) { b[EI_CLASS] = ELFCLASS32; })},
      {"bad magic", patched([](std::string& b) { b[1] = 'X'; })},
      {"no section headers", patched([&](std::string& b) { poke<std::uint64_t>(b, shoff, 0); })},
      {"section headers past the end", patched([&](std::string& b) { poke<std::uint64_t>(b, shoff, ~0ull - 8); })},
      {"odd header size", patched([&](std::string& b) { poke<std::uint16_t>(b, shentsize, 32); })},
      {"huge section count", patched([&](std::string& b) { poke<std::uint16_t>(b, shnum, 0xFFFF); })},
      {"extended count, zero", patched([&](std::string& b) { poke<std::uint16_t>(b, shnum, 0); })},
      {"name table index out of range", patched([&](std::string& b) { poke<std::uint16_t>(b, shstrndx, 40); })},
      {"extended name table index", patched([&](std::string& b) { poke<std::uint16_t>(b, shstrndx, SHN_XINDEX); })},
      {"note name size past the section", patched([&](std::string& b) { poke<std::uint32_t>(b, note, 0xFFFFFFF0u); })},
      {"note descriptor size past the section",
       patched([&](std::string& b) { poke<std::uint32_t>(b, note + 4, 0xFFFFFFFFu); })},
      {"other owner", image([](ElfImage& e) { e.noteOwner = std::string("GNU\0", 4); })},
      {"other type", image([](ElfImage& e) { e.noteType = 3; })},
      {"descriptor without a team", image([](ElfImage& e) { e.descriptor = std::string("org.hushwall.app\0", 17); })},
      {"descriptor with trailing bytes", image([](ElfImage& e) { e.descriptor = std::string("a\0T\0x", 5); })},
      {"descriptor with an empty identifier", image([](ElfImage& e) { e.descriptor = std::string("\0T\0", 3); })},
      {"descriptor without terminators", image([](ElfImage& e) { e.descriptor = "org.hushwall.app"; })},
      {"two identity sections", image([](ElfImage& e) { e.noteSections = 2; })},
      {"two identity notes in one section", image([](ElfImage& e) { e.notesPerSection = 2; })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto identity = read(c.bytes());
    ASSERT_FALSE(identity) << identity->identifier;
    EXPECT_EQ(identity.error().reason, Reason::noIdentity) << identity.error().detail;
  }
}

TEST_F(IdentityNoteTest, TruncatedMutatedAndRandomFilesNeverCrash) {
  const std::string good = ElfImage{}.build();
  for (std::size_t length = 0; length < good.size(); ++length) {
    SCOPED_TRACE(length);
    ASSERT_FALSE(read(good.substr(0, length)));
  }
  std::mt19937 random(20260601);
  for (int round = 0; round < 400; ++round) {
    std::string bytes = good;
    int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) bytes[random() % bytes.size()] = static_cast<char>(random());
    auto identity = read(bytes);  // any answer but a crash; a valid note must still be well-formed
    if (identity) {
      EXPECT_FALSE(identity->identifier.empty());
    }
  }
  for (int round = 0; round < 100; ++round) {
    std::string bytes(random() % 2048, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    if (round % 2 == 0 && bytes.size() >= 64) bytes.replace(0, 16, good.substr(0, 16));  // plausible header
    EXPECT_FALSE(read(bytes));
  }
}

}  // namespace
}  // namespace hushwall
