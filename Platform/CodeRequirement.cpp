#include "Platform/CodeRequirement.hpp"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "HushwallCore/CaseNames.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

constexpr std::string_view noteSection = ".note.hushwall.ident";
constexpr std::string_view noteOwner{"Hushwall\0", 9};
constexpr std::uint32_t noteType = 1;

// Caps that keep a crafted header from making us read or allocate much.
constexpr std::uint64_t maxSections = 1u << 16;
constexpr std::uint64_t maxNameTable = 1u << 20;
constexpr std::uint64_t maxNoteSection = 4096;

Refusal refuse(Refusal::Reason reason, std::string detail) { return Refusal{reason, std::move(detail)}; }

// Bounds-checked positional reads of one open file.
class FileReader {
 public:
  FileReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  // False when [offset, offset + length) is not inside the file; sets `failed`
  // when the read itself errs.
  bool read(std::uint64_t offset, void* out, std::uint64_t length) {
    if (offset > size_ || length > size_ - offset) return false;
    auto* bytes = static_cast<char*>(out);
    while (length > 0) {
      ssize_t got = pread(fd_, bytes, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        failed = got < 0 ? errno : EIO;
        return false;
      }
      bytes += got;
      offset += static_cast<std::uint64_t>(got);
      length -= static_cast<std::uint64_t>(got);
    }
    return true;
  }

  int failed = 0;

 private:
  int fd_;
  std::uint64_t size_;
};

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

// "<identifier>\0<team>\0", both non-empty, nothing after.
std::optional<CodeIdentity> parseDescriptor(std::string_view descriptor) {
  std::size_t first = descriptor.find('\0');
  if (first == 0 || first == std::string_view::npos) return std::nullopt;
  std::size_t second = descriptor.find('\0', first + 1);
  if (second != descriptor.size() - 1 || second == first + 1) return std::nullopt;
  return CodeIdentity{std::string(descriptor.substr(0, first)),
                      std::string(descriptor.substr(first + 1, second - first - 1))};
}

// The Hushwall note among the notes of one section's bytes.
std::expected<CodeIdentity, Refusal> findNote(std::string_view notes, std::uint64_t alignment) {
  std::optional<CodeIdentity> found;
  std::uint64_t at = 0;
  while (notes.size() - at >= 12) {
    std::uint32_t header[3];
    std::memcpy(header, notes.data() + at, sizeof header);
    at += 12;
    std::uint64_t nameEnd = at + header[0];
    if (nameEnd > notes.size()) break;
    std::string_view name = notes.substr(at, header[0]);
    at = alignUp(nameEnd, alignment);
    if (at > notes.size() || header[1] > notes.size() - at) break;
    std::string_view descriptor = notes.substr(at, header[1]);
    at = std::min<std::uint64_t>(alignUp(at + header[1], alignment), notes.size());
    if (name != noteOwner || header[2] != noteType) continue;
    auto identity = parseDescriptor(descriptor);
    if (!identity) return std::unexpected(refuse(Refusal::Reason::noIdentity, "malformed identity note"));
    if (found) return std::unexpected(refuse(Refusal::Reason::noIdentity, "two identity notes"));
    found = std::move(identity);
  }
  if (!found) return std::unexpected(refuse(Refusal::Reason::noIdentity, "no identity note"));
  return *found;
}

std::expected<CodeIdentity, Refusal> readNote(FileReader& file) {
  auto notElf = [&](std::string_view why) {
    if (file.failed != 0) {
      return std::unexpected(
          refuse(Refusal::Reason::unreadable, SystemError::fromErrno(file.failed, "read", "").description));
    }
    return std::unexpected(refuse(Refusal::Reason::noIdentity, std::string(why)));
  };

  Elf64_Ehdr header;
  if (!file.read(0, &header, sizeof header)) return notElf("not an ELF file");
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_ident[EI_VERSION] != EV_CURRENT) {
    return notElf("not a little-endian ELF64 file");
  }
  if (header.e_shoff == 0 || header.e_shentsize != sizeof(Elf64_Shdr)) return notElf("no section headers");

  // Counts too large for the header live in the first section header.
  std::uint64_t count = header.e_shnum;
  std::uint64_t namesIndex = header.e_shstrndx;
  if (count == 0 || namesIndex == SHN_XINDEX) {
    Elf64_Shdr first;
    if (!file.read(header.e_shoff, &first, sizeof first)) return notElf("truncated section headers");
    if (count == 0) count = first.sh_size;
    if (namesIndex == SHN_XINDEX) namesIndex = first.sh_link;
  }
  if (count == 0 || count > maxSections || namesIndex >= count) return notElf("bad section header table");

  std::vector<Elf64_Shdr> sections(count);
  if (!file.read(header.e_shoff, sections.data(), count * sizeof(Elf64_Shdr)))
    return notElf("truncated section headers");

  const Elf64_Shdr& namesHeader = sections[namesIndex];
  if (namesHeader.sh_type != SHT_STRTAB || namesHeader.sh_size > maxNameTable) return notElf("bad section name table");
  std::string names(namesHeader.sh_size, '\0');
  if (!file.read(namesHeader.sh_offset, names.data(), names.size())) return notElf("truncated section name table");

  const Elf64_Shdr* note = nullptr;
  for (const auto& section : sections) {
    if (section.sh_name >= names.size()) continue;
    std::size_t end = names.find('\0', section.sh_name);
    if (end == std::string::npos) continue;
    if (std::string_view(names).substr(section.sh_name, end - section.sh_name) != noteSection) continue;
    if (note != nullptr) return notElf("two identity note sections");
    note = &section;
  }
  if (note == nullptr) return notElf("no identity note");
  if (note->sh_type != SHT_NOTE || note->sh_size > maxNoteSection) return notElf("malformed identity note section");
  std::string bytes(note->sh_size, '\0');
  if (!file.read(note->sh_offset, bytes.data(), bytes.size())) return notElf("truncated identity note section");
  auto identity = findNote(bytes, note->sh_addralign == 8 ? 8 : 4);
  if (!identity && file.failed != 0) return notElf("");
  return identity;
}

std::string describeOwner(uid_t uid) { return cat("owned by uid ", static_cast<std::uint64_t>(uid)); }

// Every check of one open file, in order: kind, mode, owner, then the note.
std::expected<void, Refusal> checkOpenFile(int fd, const std::string& path, const CodeIdentity& wanted,
                                           CodeRequirement::Owner owner) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    return std::unexpected(
        refuse(Refusal::Reason::unreadable, SystemError::fromErrno(errno, "stat", path).description));
  }
  if (!S_ISREG(status.st_mode))
    return std::unexpected(refuse(Refusal::Reason::notRegularFile, cat(path, " is not a regular file")));
  if ((status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
    return std::unexpected(refuse(Refusal::Reason::notExecutable, cat(path, " is not executable")));
  }
  uid_t trusted = owner == CodeRequirement::Owner::root ? 0 : geteuid();
  if (status.st_uid != trusted) {
    return std::unexpected(refuse(Refusal::Reason::untrustedOwner, cat(path, " is ", describeOwner(status.st_uid))));
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return std::unexpected(refuse(Refusal::Reason::writableByOthers, cat(path, " is writable by group or others")));
  }
  FileReader reader(fd, static_cast<std::uint64_t>(status.st_size));
  auto identity = readNote(reader);
  if (!identity) {
    identity.error().detail = cat(path, ": ", identity.error().detail);
    return std::unexpected(std::move(identity.error()));
  }
  if (identity->identifier != wanted.identifier) {
    return std::unexpected(refuse(Refusal::Reason::otherIdentifier, cat(path, " is ", identity->identifier)));
  }
  if (identity->teamIdentifier != wanted.teamIdentifier) {
    return std::unexpected(refuse(Refusal::Reason::otherTeam, cat(path, " is from team ", identity->teamIdentifier)));
  }
  return {};
}

// A requirement text as tokens: bare words and quoted strings (kept with their quotes).
std::optional<std::vector<std::string_view>> tokenize(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t at = 0;
  while (at < text.size()) {
    char c = text[at];
    if (c == ' ' || c == '\t' || c == '\n') {
      ++at;
    } else if (c == '"') {
      std::size_t close = text.find('"', at + 1);
      if (close == std::string_view::npos) return std::nullopt;
      tokens.push_back(text.substr(at, close - at + 1));
      at = close + 1;
    } else {
      std::size_t end = text.find_first_of(" \t\n\"", at);
      if (end == std::string_view::npos) end = text.size();
      tokens.push_back(text.substr(at, end - at));
      at = end;
    }
  }
  return tokens;
}

// The text inside a quoted token, if it is one and holds a plain name.
std::optional<std::string> quoted(std::string_view token) {
  if (token.size() < 3 || token.front() != '"' || token.back() != '"') return std::nullopt;
  std::string_view inner = token.substr(1, token.size() - 2);
  for (char c : inner) {
    if (c == '\\' || static_cast<unsigned char>(c) < 0x20) return std::nullopt;  // escapes and control bytes
  }
  return std::string(inner);
}

}  // namespace

std::string_view reasonName(Refusal::Reason reason) {
  using enum Refusal::Reason;
  static constexpr CaseName<Refusal::Reason> names[] = {{unparsableRequirement, "unparsable requirement"},
                                                        {lookupFailed, "credential lookup failed"},
                                                        {callerGone, "caller gone"},
                                                        {unreadable, "executable unreadable"},
                                                        {notRegularFile, "not a regular file"},
                                                        {notExecutable, "not executable"},
                                                        {untrustedOwner, "untrusted owner"},
                                                        {writableByOthers, "writable by others"},
                                                        {noIdentity, "no identity"},
                                                        {otherIdentifier, "other identifier"},
                                                        {otherTeam, "other team"}};
  return nameIn(names, reason);
}

std::expected<CodeIdentity, Refusal> readIdentityNote(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    return std::unexpected(refuse(Refusal::Reason::unreadable, SystemError::fromErrno(errno, "stat", "").description));
  }
  FileReader reader(fd, static_cast<std::uint64_t>(status.st_size));
  return readNote(reader);
}

std::expected<CodeRequirement, Refusal> CodeRequirement::parse(std::string_view text, Owner owner) {
  auto unparsable = [&](std::string_view why) {
    return std::unexpected(refuse(Refusal::Reason::unparsableRequirement, cat(why, ": ", text)));
  };
  auto tokens = tokenize(text);
  if (!tokens || tokens->empty()) return unparsable("empty or unterminated");
  std::optional<std::string> identifier, team;
  bool anchor = false;
  std::size_t at = 0;
  auto next = [&](std::string_view word) {
    return at < tokens->size() && (*tokens)[at] == word ? (++at, true) : false;
  };
  while (true) {
    if (next("identifier")) {
      if (identifier || at >= tokens->size() || !(identifier = quoted((*tokens)[at++])))
        return unparsable("bad identifier clause");
    } else if (next("anchor")) {
      if (anchor || !next("apple") || !next("generic")) return unparsable("bad anchor clause");
      anchor = true;
    } else if (next("certificate")) {
      if (team || !next("leaf[subject.OU]") || !next("=") || at >= tokens->size() ||
          !(team = quoted((*tokens)[at++]))) {
        return unparsable("bad certificate clause");
      }
    } else {
      return unparsable("unknown clause");
    }
    if (at == tokens->size()) break;
    if (!next("and")) return unparsable("clauses must be joined by 'and'");
  }
  // A requirement that does not pin both the program and its maker admits too much.
  if (!identifier || !team) return unparsable("needs both an identifier and a team");
  return CodeRequirement(CodeIdentity{std::move(*identifier), std::move(*team)}, owner);
}

std::expected<void, Refusal> CodeRequirement::checkFile(const std::string& path) const {
  // Non-blocking, so a named pipe at the path cannot stall the caller.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0)
    return std::unexpected(
        refuse(Refusal::Reason::unreadable, SystemError::fromErrno(errno, "open", path).description));
  auto verdict = checkOpenFile(fd, path, identity_, owner_);
  close(fd);
  return verdict;
}

std::expected<void, Refusal> CodeRequirement::checkProcess(pid_t pid) const {
  if (pid <= 0)
    return std::unexpected(refuse(Refusal::Reason::lookupFailed, cat("no process id ", static_cast<int>(pid))));
  return checkFile(cat("/proc/", static_cast<int>(pid), "/exe"));
}

std::expected<void, Refusal> checkSelf(std::string_view requirementText, CodeRequirement::Owner owner) {
  auto requirement = CodeRequirement::parse(requirementText, owner);
  if (!requirement) return {};
  auto verdict = requirement->checkFile("/proc/self/exe");
  if (!verdict && verdict.error().reason == Refusal::Reason::unreadable) return {};
  return verdict;
}

}  // namespace hushwall
