#include "Platform/PeerAdmission.hpp"

#include <systemd/sd-bus.h>

#include <memory>

#include "HushwallCore/Error.hpp"
#include "HushwallCore/Strings.hpp"
#include "Platform/AdmissionCache.hpp"

namespace hushwall {
namespace {

std::unexpected<Refusal> refuse(Refusal::Reason reason, std::string_view what, int negativeErrno) {
  return std::unexpected(Refusal{reason, SystemError::fromErrno(-negativeErrno, what, "").description});
}

struct CredsDeleter {
  void operator()(sd_bus_creds* creds) const { sd_bus_creds_unref(creds); }
};
using Creds = std::unique_ptr<sd_bus_creds, CredsDeleter>;

}  // namespace

std::expected<BusCaller, Refusal> PeerAdmission::admit(const std::expected<CodeRequirement, Refusal>& requirement,
                                                       sd_bus_message* call, AdmissionCache& cache,
                                                       bool* examined) const {
  if (examined != nullptr) *examined = false;
  if (!requirement) return std::unexpected(requirement.error());
  std::string name = sender(call);
  if (const auto* known = cache.find(name)) {
    if (stamp(known->caller.pid) == known->stamp) return known->caller;
    cache.erase(name);
  }
  if (examined != nullptr) *examined = true;
  return admitAfresh(*requirement, call, cache);
}

std::expected<BusCaller, Refusal> PeerAdmission::admitAfresh(const CodeRequirement& requirement, sd_bus_message* call,
                                                             AdmissionCache& cache) const {
  auto caller = lookUp(call);
  if (!caller) return caller;
  // Bracketing the examination: a process that execs or exits meanwhile reads differently afterwards.
  auto before = stamp(caller->pid);
  auto gone = [&](std::string_view how) {
    return std::unexpected(Refusal{Refusal::Reason::callerGone, cat("process ", static_cast<int>(caller->pid), how)});
  };
  if (!before) return gone(" is gone");
  if (auto verdict = examine(requirement, caller->pid); !verdict) return std::unexpected(verdict.error());
  if (auto there = confirm(call, *caller); !there) return std::unexpected(there.error());
  if (stamp(caller->pid) != before) return gone(" changed while it was checked");
  cache.insert({*caller, *before});
  return caller;
}

std::string PeerAdmission::senderOf(sd_bus_message* call) {
  const char* name = sd_bus_message_get_sender(call);
  return name == nullptr ? std::string() : std::string(name);
}

std::expected<BusCaller, Refusal> PeerAdmission::lookUpSender(sd_bus_message* call) {
  const char* sender = sd_bus_message_get_sender(call);
  if (sender == nullptr) return std::unexpected(Refusal{Refusal::Reason::lookupFailed, "the call names no sender"});
  sd_bus_creds* raw = nullptr;
  int r = sd_bus_query_sender_creds(call, SD_BUS_CREDS_PID | SD_BUS_CREDS_EUID, &raw);
  if (r < 0) return refuse(Refusal::Reason::lookupFailed, cat("credentials of ", sender), r);
  Creds creds(raw);
  BusCaller caller{0, 0, sender};
  if ((r = sd_bus_creds_get_pid(creds.get(), &caller.pid)) < 0) return refuse(Refusal::Reason::lookupFailed, "pid", r);
  if ((r = sd_bus_creds_get_euid(creds.get(), &caller.euid)) < 0)
    return refuse(Refusal::Reason::lookupFailed, "euid", r);
  return caller;
}

std::expected<void, Refusal> PeerAdmission::confirmSender(sd_bus_message* call, const BusCaller& caller) {
  sd_bus_creds* raw = nullptr;
  int r = sd_bus_get_name_creds(sd_bus_message_get_bus(call), caller.uniqueName.c_str(), SD_BUS_CREDS_PID, &raw);
  if (r < 0) return refuse(Refusal::Reason::callerGone, cat("credentials of ", caller.uniqueName), r);
  Creds creds(raw);
  pid_t pid = 0;
  if (sd_bus_creds_get_pid(creds.get(), &pid) < 0 || pid != caller.pid) {
    return std::unexpected(Refusal{Refusal::Reason::callerGone, cat(caller.uniqueName, " changed process")});
  }
  return {};
}

}  // namespace hushwall
