#include "Platform/CodeRequirement.hpp"

#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>

#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using Reason = Refusal::Reason;
using Owner = CodeRequirement::Owner;

const std::string helpers = HUSHWALL_TEST_HELPERS_DIR;
std::string requirementFor(std::string_view identifier) {
  return cat("identifier \"", identifier,
             "\" and anchor apple generic and certificate leaf[subject.OU] = \"HW7Q3K9P2L\"");
}

TEST(CodeRequirementParse, TextsThatDoNotParseFailClosed) {
  std::string withNul = requirementFor("a");
  withNul[13] = '\0';
  for (std::string_view text : std::initializer_list<std::string_view>{
           withNul,
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
    auto parsed = CodeRequirement::parse(text);
    EXPECT_EQ(parsed ? Reason{} : parsed.error().reason, Reason::unparsableRequirement) << text;
  }
}

// The files here belong to whoever runs the test: "processUser" is the sandbox
// rule and, run as root, the machine's rule as well.
TEST(CodeRequirementFile, OnlyTheGenuineRootOrOwnUserExecutablePasses) {
  testing::TemporaryDirectory dir;
  auto copy = [&](const std::string& helper, const std::string& name, mode_t mode = 0755) {
    fs::copy_file(helpers + "/" + helper, dir.file(name));
    EXPECT_EQ(chmod(dir.file(name).c_str(), mode), 0);
    return dir.file(name);
  };
  auto write = [&](const std::string& name, const std::string& bytes) {
    testing::writeFile(dir.file(name), bytes, 0755);
    return dir.file(name);
  };
  auto own = CodeRequirement::parse(requirementFor("org.hushwall.test.caller"), Owner::processUser).value();
  auto genuine = copy("hushwall_test_caller", "genuine");
  fs::create_symlink(genuine, dir.file("link"));
  mkfifo(dir.file("fifo").c_str(), 0755);
  fs::create_directories(dir.file("directory"));
  // Owned by someone else: as root, hand the file to "nobody"; otherwise our own file fails the root rule.
  auto foreign = copy("hushwall_test_caller", "foreign");
  CodeRequirement foreignRule = own;
  if (geteuid() == 0) {
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  } else {
    foreignRule = CodeRequirement::parse(requirementFor("org.hushwall.test.caller"), Owner::root).value();
  }
  auto rootRule = CodeRequirement::parse(requirementFor("org.hushwall.test.caller"), Owner::root).value();

  struct Case {
    std::string name, path;
    std::optional<Reason> refusal;
    const CodeRequirement& rule;
  };
  const std::vector<Case> cases = {
      {"genuine", genuine, std::nullopt, own},
      {"through a symbolic link", dir.file("link"), std::nullopt, own},
      {"group-writable", copy("hushwall_test_caller", "group-writable", 0775), Reason::writableByOthers, own},
      {"world-writable", copy("hushwall_test_caller", "world-writable", 0757), Reason::writableByOthers, own},
      {"not executable", copy("hushwall_test_caller", "not-executable", 0644), Reason::notExecutable, own},
      {"owned by another user", foreign, Reason::untrustedOwner, foreignRule},
      {"stamped for another program", copy("hushwall_test_impostor", "impostor"), Reason::otherIdentifier, own},
      {"stamped for another team", copy("hushwall_test_other_team", "other-team"), Reason::otherTeam, own},
      {"a script without the note", write("script", "#!/bin/sh\nexit 0\n"), Reason::noIdentity, own},
      {"an empty file", write("empty", ""), Reason::noIdentity, own},
      {"a named pipe", dir.file("fifo"), Reason::notRegularFile, own},
      {"a directory", dir.file("directory"), Reason::notRegularFile, own},
      {"an absent path", dir.file("absent"), Reason::unreadable, own},
      {"a system program owned by root", "/bin/sh", Reason::noIdentity, rootRule},
  };
  for (const auto& c : cases) {
    auto verdict = c.rule.checkFile(c.path);
    EXPECT_EQ(verdict ? std::nullopt : std::optional(verdict.error().reason), c.refusal) << c.name;
  }
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
  waitpid(child, nullptr, 0);
  for (pid_t pid : {child, 0, -1}) {
    EXPECT_EQ(ownRule.checkProcess(pid).error().reason, pid > 0 ? Reason::unreadable : Reason::lookupFailed) << pid;
  }
}

// A minimal ELF64 file: header, note sections, a name table and the section
// headers, so that tests can corrupt each part.
struct ElfImage {
  std::string noteOwner{"Hushwall\0", 9};
  std::uint32_t noteType = 1;
  std::string descriptor{"org.hushwall.app\0HW7Q3K9P2L\0", 28};
  std::uint64_t alignment = 4;
  int noteSections = 1, notesPerSection = 1;

  template <class T>
  static void append(std::string& bytes, const T& value, std::size_t size = sizeof(T)) {
    bytes.append(reinterpret_cast<const char*>(&value), size);
  }
  static void pad(std::string& bytes, std::size_t alignTo) {
    bytes.resize((bytes.size() + alignTo - 1) / alignTo * alignTo);
  }

  [[nodiscard]] std::string build() const {
    std::string bytes(sizeof(Elf64_Ehdr), '\0');
    std::vector<Elf64_Shdr> sections(1);  // the null section
    for (int i = 0; i < noteSections; ++i) {
      pad(bytes, 8);
      Elf64_Shdr& section = sections.emplace_back(Elf64_Shdr{1, SHT_NOTE, 0, 0, bytes.size(), 0, 0, 0, alignment, 0});
      for (int n = 0; n < notesPerSection; ++n) {
        append(bytes, std::array<std::uint32_t, 3>{static_cast<std::uint32_t>(noteOwner.size()),
                                                   static_cast<std::uint32_t>(descriptor.size()), noteType});
        pad(bytes += noteOwner, alignment);
        pad(bytes += descriptor, alignment);
      }
      section.sh_size = bytes.size() - section.sh_offset;
    }
    const std::string names("\0.note.hushwall.ident\0.shstrtab\0", 32);
    sections.push_back({22, SHT_STRTAB, 0, 0, bytes.size(), names.size(), 0, 0, 1, 0});
    pad(bytes += names, 8);
    auto count = static_cast<std::uint16_t>(sections.size());
    Elf64_Ehdr header{{ELFMAG0, ELFMAG1, ELFMAG2, ELFMAG3, ELFCLASS64, ELFDATA2LSB, EV_CURRENT},
                      ET_EXEC,
                      EM_X86_64,
                      EV_CURRENT,
                      0,
                      0,
                      bytes.size(),
                      0,
                      sizeof(Elf64_Ehdr),
                      0,
                      0,
                      sizeof(Elf64_Shdr),
                      count,
                      static_cast<std::uint16_t>(count - 1)};
    bytes.replace(0, sizeof header, reinterpret_cast<const char*>(&header), sizeof header);
    append(bytes, *sections.data(), sections.size() * sizeof(Elf64_Shdr));
    return bytes;
  }
};

std::expected<CodeIdentity, Refusal> readIdentity(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  auto identity = readIdentityNote(fd);
  close(fd);
  return identity;
}

TEST(IdentityNote, ReadsWellFormedNotesAndRefusesCraftedOnesAsCarryingNoIdentity) {
  testing::TemporaryDirectory dir;
  auto read = [&](const std::string& bytes) {
    testing::writeFile(dir.file("elf"), bytes);
    return readIdentity(dir.file("elf"));
  };
  const CodeIdentity app{"org.hushwall.app", "HW7Q3K9P2L"};
  EXPECT_EQ(read(ElfImage{}.build()).value(), app);
  EXPECT_EQ(read(ElfImage{.alignment = 8}.build()).value(), app);
  EXPECT_EQ(readIdentity(helpers + "/hushwall_test_other_team").value(),
            (CodeIdentity{"org.hushwall.test.caller", "ZZ9Z9Z9Z9Z"}));

  const std::string good = ElfImage{}.build();
  auto poke = [&](std::size_t offset, auto value) {
    std::string bytes = good;
    std::memcpy(bytes.data() + offset, &value, sizeof value);
    return bytes;
  };
  const std::size_t shoff = 0x28, shentsize = 0x3A, shnum = 0x3C, shstrndx = 0x3E, note = 64;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"big-endian", poke(EI_DATA, std::uint8_t{ELFDATA2MSB})},
      {"32-bit class", poke(EI_CLASS, std::uint8_t{ELFCLASS32})},
      {"bad magic", poke(1, 'X')},
      {"no section headers", poke(shoff, std::uint64_t{0})},
      {"section headers past the end", poke(shoff, ~0ull - 8)},
      {"odd header size", poke(shentsize, std::uint16_t{32})},
      {"huge section count", poke(shnum, std::uint16_t{0xFFFF})},
      {"extended count, zero", poke(shnum, std::uint16_t{0})},
      {"name table index out of range", poke(shstrndx, std::uint16_t{40})},
      {"extended name table index", poke(shstrndx, std::uint16_t{SHN_XINDEX})},
      {"note name size past the section", poke(note, 0xFFFFFFF0u)},
      {"note descriptor size past the section", poke(note + 4, 0xFFFFFFFFu)},
      {"other owner", ElfImage{.noteOwner = std::string("GNU\0", 4)}.build()},
      {"other type", ElfImage{.noteType = 3}.build()},
      {"descriptor without a team", ElfImage{.descriptor = std::string("org.hushwall.app\0", 17)}.build()},
      {"descriptor with trailing bytes", ElfImage{.descriptor = std::string("a\0T\0x", 5)}.build()},
      {"descriptor with an empty identifier", ElfImage{.descriptor = std::string("\0T\0", 3)}.build()},
      {"descriptor without terminators", ElfImage{.descriptor = "org.hushwall.app"}.build()},
      {"two identity sections", ElfImage{.noteSections = 2}.build()},
      {"two identity notes in one section", ElfImage{.notesPerSection = 2}.build()},
  };
  for (const auto& [name, bytes] : cases) {
    auto identity = read(bytes);
    EXPECT_EQ(identity ? Reason{} : identity.error().reason, Reason::noIdentity) << name;
  }
  // Every truncation is refused; random bytes are the fuzz target's.
  for (std::size_t length = 0; length < good.size(); ++length) EXPECT_FALSE(read(good.substr(0, length))) << length;
}

}  // namespace
}  // namespace hushwall
