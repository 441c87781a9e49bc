// Admission of a D-Bus caller: who sent a method call, and whether the program
// behind it satisfies the service's code requirement. Fails closed: every step
// that errs refuses, and the caller's connection must still be there, with the
// same process running the same file, after its executable was examined, so a
// caller that exits or execs at once (and a process id reused meanwhile) is
// never admitted on a stale lookup.
//
// An admitted unique name is remembered in an AdmissionCache with the stamp of
// its process; later calls from it are admitted on one stat and one read of
// /proc, without asking the bus, while that stamp reads the same. Any
// difference, or a stamp that cannot be read, means a full admission again.
//
// Each step is a seam (a field with a default that asks the bus or /proc), so
// tests can make any one of them fail. Runs on the bus connection's queue.
#pragma once

#include <sys/types.h>

#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "Platform/CodeRequirement.hpp"
#include "Platform/ProcessStamp.hpp"

typedef struct sd_bus_message sd_bus_message;

namespace hushwall {

class AdmissionCache;

// The sender of a method call as the bus reports it.
struct BusCaller {
  pid_t pid = 0;
  uid_t euid = 0;
  std::string uniqueName;

  friend bool operator==(const BusCaller&, const BusCaller&) = default;
};

struct PeerAdmission {
  // The unique name the bus stamped on the call; "" when it names none.
  std::function<std::string(sd_bus_message*)> sender = senderOf;
  // The sender's unique name, process id and effective user id, from the bus
  // (sd_bus_query_sender_creds).
  std::function<std::expected<BusCaller, Refusal>(sd_bus_message*)> lookUp = lookUpSender;
  // The executable behind the process id against the requirement.
  std::function<std::expected<void, Refusal>(const CodeRequirement&, pid_t)> examine =
      [](const CodeRequirement& requirement, pid_t pid) { return requirement.checkProcess(pid); };
  // Asks the bus again: the caller's connection still exists and still
  // belongs to the same process.
  std::function<std::expected<void, Refusal>(sd_bus_message*, const BusCaller&)> confirm = confirmSender;
  // The process's start time and executable identity (readProcessStamp).
  std::function<std::optional<ProcessStamp>(pid_t)> stamp = readProcessStamp;

  // The admitted caller, or why it was refused. `requirement` is the parsed
  // requirement of the service, or the reason it did not parse. Admits from
  // `cache` when it can and records every full admission there; a name whose
  // stamp no longer reads the same leaves it before it is examined again.
  // `examined`, if given, says whether this call took a full admission.
  [[nodiscard]] std::expected<BusCaller, Refusal> admit(const std::expected<CodeRequirement, Refusal>& requirement,
                                                        sd_bus_message* call, AdmissionCache& cache,
                                                        bool* examined = nullptr) const;

  [[nodiscard]] static std::string senderOf(sd_bus_message* call);
  [[nodiscard]] static std::expected<BusCaller, Refusal> lookUpSender(sd_bus_message* call);
  [[nodiscard]] static std::expected<void, Refusal> confirmSender(sd_bus_message* call, const BusCaller& caller);

 private:
  [[nodiscard]] std::expected<BusCaller, Refusal> admitAfresh(const CodeRequirement& requirement, sd_bus_message* call,
                                                              AdmissionCache& cache) const;
};

}  // namespace hushwall
