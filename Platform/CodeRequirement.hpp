// The code-signing requirement on Linux. A requirement text names a program
// (`identifier "X"`) and its maker's team (`certificate leaf[subject.OU] = "T"`);
// `anchor apple generic` is accepted and stands for the ownership rule below.
//
// An executable satisfies a requirement when it is a regular file with an
// execute bit, its identity note (section .note.hushwall.ident, stamped at build
// time by hushwall_stamp) names that identifier and team, and it is owned by
// root (or, in a sandbox build, by the user the checking process runs as) and
// writable by neither group nor others: only an administrator can have put it
// there. Every check is made on one open descriptor, so the file examined is
// the file judged.
//
// Admission fails closed: an unreadable file, a malformed note or a text that
// does not parse is a refusal. Process ids can be reused and a same-user
// process can trace a genuine client, so this keeps other programs out rather
// than a determined attacker of the same user.
//
// Thread-safety: a CodeRequirement is immutable; every function is reentrant.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace hushwall {

// Why a program was refused. The values are stable: they are the status the
// self-check reports.
struct Refusal {
  enum class Reason : int {
    unparsableRequirement = 1,
    lookupFailed = 2,  // the caller's credentials could not be obtained
    callerGone = 3,    // the caller went away or changed while it was checked
    unreadable = 4,    // the executable could not be opened or read
    notRegularFile = 5,
    notExecutable = 6,
    untrustedOwner = 7,
    writableByOthers = 8,
    noIdentity = 9,  // no well-formed identity note
    otherIdentifier = 10,
    otherTeam = 11,
  };
  Reason reason = Reason::unreadable;
  std::string detail;  // for logs: what was seen, e.g. the path and the owner

  friend bool operator==(const Refusal&, const Refusal&) = default;
};

[[nodiscard]] std::string_view reasonName(Refusal::Reason reason);

// What an executable's identity note says.
struct CodeIdentity {
  std::string identifier;
  std::string teamIdentifier;

  friend bool operator==(const CodeIdentity&, const CodeIdentity&) = default;
};

// The identity note of the ELF64 file open at `fd`, read with bounds checks
// throughout: a truncated or crafted file gives `noIdentity`, an I/O error
// `unreadable`, never a crash. Two identity notes are refused as ambiguous.
[[nodiscard]] std::expected<CodeIdentity, Refusal> readIdentityNote(int fd);

class CodeRequirement {
 public:
  // Who must own an admitted executable: root, or in a sandbox build the
  // effective user of the checking process.
  enum class Owner { root, processUser };

  [[nodiscard]] static std::expected<CodeRequirement, Refusal> parse(std::string_view text, Owner owner = Owner::root);

  [[nodiscard]] const std::string& identifier() const { return identity_.identifier; }
  [[nodiscard]] const std::string& teamIdentifier() const { return identity_.teamIdentifier; }
  [[nodiscard]] Owner owner() const { return owner_; }

  // Whether the file at `path` satisfies the requirement.
  [[nodiscard]] std::expected<void, Refusal> checkFile(const std::string& path) const;
  // Whether the executable of process `pid` (/proc/PID/exe) satisfies it.
  [[nodiscard]] std::expected<void, Refusal> checkProcess(pid_t pid) const;

 private:
  CodeRequirement(CodeIdentity identity, Owner owner) : identity_(std::move(identity)), owner_(owner) {}

  CodeIdentity identity_;
  Owner owner_;
};

// The running process's self-check against a requirement text. Only a definite
// failure refuses: when /proc/self/exe cannot be read or the text does not
// parse, the check counts as met.
[[nodiscard]] std::expected<void, Refusal> checkSelf(std::string_view requirementText, CodeRequirement::Owner owner);

}  // namespace hushwall
