#include "DaemonCore/BlockController.hpp"

#include "DaemonCore/SystemPaths.hpp"
#include "HushwallCore/HostsRegions.hpp"

namespace hushwall {

BlockController::BlockController() : BlockController(HostsFile(systemPaths().hostsFile)) {}

BlockController::BlockController(HostsFile hostsFile) : hostsFile_(std::move(hostsFile)) {}

UnfairLock& BlockController::mutationLock() {
  // Never destroyed: the process may exit while a thread holds it.
  static UnfairLock& lock = *new UnfairLock;
  return lock;
}

Result<bool> BlockController::hasActiveBlock() const {
  auto current = hostsFile_.readData();
  if (!current) return std::unexpected(current.error());
  return HostsRegions::contains(*current);
}

}  // namespace hushwall
