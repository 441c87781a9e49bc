// The enforcement layer's hold on one hosts file, and the process-wide lock
// under which the session coordinator changes it. The coordinator applies,
// repairs and removes the block itself; this answers whether one is present.
//
// Thread-safety: `hasActiveBlock` takes no lock. Copyable.
#pragma once

#include "DaemonCore/HostsFile.hpp"
#include "DaemonCore/UnfairLock.hpp"
#include "HushwallCore/Error.hpp"

namespace hushwall {

class BlockController {
 public:
  // The machine's hosts file (symbolic links resolved).
  BlockController();
  explicit BlockController(HostsFile hostsFile);

  // The one process-wide mutation lock, shared by every controller and by the
  // session coordinator: it serialises every change of the session and every
  // read-modify-write of the hosts file and the state files. Not re-entrant.
  [[nodiscard]] static UnfairLock& mutationLock();

  [[nodiscard]] const HostsFile& hostsFile() const { return hostsFile_; }

  // Whether the file holds a complete managed region; fails with the read error.
  [[nodiscard]] Result<bool> hasActiveBlock() const;

 private:
  HostsFile hostsFile_;
};

}  // namespace hushwall
