#include "DaemonService/ReplacementCheck.hpp"

#include <sys/stat.h>

#include <utility>

#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {

ReplacementCheck::ReplacementCheck(std::string path, std::string requirement, CodeRequirement::Owner owner,
                                   std::optional<FileIdentity> launched)
    : path_(std::move(path)),
      requirement_(std::move(requirement)),
      owner_(owner),
      launched_(launched),
      log_(LogSubsystem::daemon, "handover") {}

std::optional<ReplacementCheck::FileIdentity> ReplacementCheck::identity(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{
      .device = static_cast<std::int32_t>(status.st_dev),
      .inode = static_cast<std::uint64_t>(status.st_ino),
      .size = static_cast<std::int64_t>(status.st_size),
      .modifiedSeconds = static_cast<std::int64_t>(status.st_mtim.tv_sec),
      .modifiedNanoseconds = static_cast<std::int64_t>(status.st_mtim.tv_nsec),
  };
}

HandoverPolicy::Replacement ReplacementCheck::replacement() {
  using Replacement = HandoverPolicy::Replacement;
  auto current = identity(path_);
  if (!current) return Replacement::missing;
  if (!launched_ || *current == *launched_) return Replacement::sameFile;
  if (auto known = verdicts_.find(*current); known != verdicts_.end()) {
    return known->second ? Replacement::validated : Replacement::unvalidated;
  }
  auto requirement = CodeRequirement::parse(requirement_, owner_);
  auto verdict = requirement ? requirement->checkFile(path_) : std::unexpected(requirement.error());
  verdicts_.emplace(*current, verdict.has_value());
  if (!verdict) {
    log_.error(cat("the file at ", path_, " is not this daemon and does not satisfy our requirement (",
                   reasonName(verdict.error().reason), ": ", verdict.error().detail, ") — staying"));
    return Replacement::unvalidated;
  }
  log_.notice(cat("another daemon is at ", path_, " and satisfies our requirement"));
  return Replacement::validated;
}

bool ReplacementCheck::stillServable() {
  auto current = identity(path_);
  if (!current) return true;
  if (unservable_.contains(*current)) return false;
  bool meets = meetsRequirement(requirement_);
  if (!meets) {
    unservable_.insert(*current);
    log_.notice(
        "this daemon no longer meets the requirement its clients pin — no client can hear it, so it does not wait "
        "for a quiet moment");
    return false;
  }
  if (saidServable_.insert(*current).second) {
    log_.notice(
        "this daemon still meets the requirement its clients pin — it waits for a quiet moment before "
        "handing over");
  }
  return true;
}

bool ReplacementCheck::meetsRequirement(const std::string& requirement) const {
  auto checked = checkSelf(requirement, owner_);
  if (checked) return true;
  log_.notice(cat("the self-check refused: ", reasonName(checked.error().reason), ": ", checked.error().detail));
  return false;
}

}  // namespace hushwall
