#include "DaemonCore/BlockController.hpp"

#include <mutex>

#include "DaemonCore/HostsDocument.hpp"
#include "DaemonCore/SystemPaths.hpp"
#include "DaemonCore/Timekeeper.hpp"
#include "HushwallCore/DomainValidator.hpp"
#include "HushwallCore/HostsRegions.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Log.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {
namespace {

const Logger& logger() {
  static const Logger instance(LogSubsystem::daemon, "block");
  return instance;
}

}  // namespace

BlockController::BlockController() : BlockController(HostsFile(systemPaths().hostsFile), true) {}

BlockController::BlockController(HostsFile hostsFile, bool flushesDNS, DNSCache dnsCache)
    : hostsFile_(std::move(hostsFile)), flushesDNS_(flushesDNS), dnsCache_(std::move(dnsCache)) {}

UnfairLock& BlockController::mutationLock() {
  // Never destroyed: the process may exit while a thread holds it.
  static UnfairLock& lock = *new UnfairLock;
  return lock;
}

Result<void> BlockController::apply(const std::vector<std::string>& domains, double duration,
                                    const Uuid& sessionID) const {
  if (auto valid = Timekeeper::validate(duration); !valid) return std::unexpected(valid.error());
  auto validated = DomainValidator::validate(domains);
  if (!validated) return std::unexpected(validated.error());
  {
    std::lock_guard guard(mutationLock());
    auto current = hostsFile_.readData();
    if (!current) return std::unexpected(current.error());
    if (HostsRegions::contains(*current)) return std::unexpected(DaemonError::sessionAlreadyActive);
    if (auto written = hostsFile_.writeData(HostsDocument::applying(*validated, sessionID, *current)); !written) {
      return written;
    }
  }
  if (flushesDNS_) dnsCache_.flush();
  logger().notice(cat("blocked ", validated->size(), " domains, session ", sessionID.string()));
  return {};
}

Result<void> BlockController::removeIfPresent() const {
  {
    std::lock_guard guard(mutationLock());
    auto current = hostsFile_.readData();
    if (!current) return std::unexpected(current.error());
    if (!HostsRegions::contains(*current)) return {};
    if (auto written = hostsFile_.writeData(HostsDocument::removingManagedRegion(*current)); !written) return written;
    auto confirmed = hostsFile_.readData();
    if (!confirmed) return std::unexpected(confirmed.error());
    if (HostsRegions::contains(*confirmed)) return std::unexpected(DaemonError::removalUnverified);
  }
  if (flushesDNS_) dnsCache_.flush();
  logger().notice("removed block");
  return {};
}

Result<bool> BlockController::hasActiveBlock() const {
  auto current = hostsFile_.readData();
  if (!current) return std::unexpected(current.error());
  return HostsRegions::contains(*current);
}

}  // namespace hushwall
