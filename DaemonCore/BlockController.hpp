// The three block operations of the enforcement layer on one hosts file:
// apply a block, remove it, ask whether one is present; a successful apply or
// removal is followed by a DNS cache flush when `flushesDNS` is set. Logs under
// the category "block"; file errors are returned, not logged.
//
// Thread-safety: `apply` and `removeIfPresent` hold `mutationLock()` from their
// first read to their last write or confirmation read, and flush and log after
// releasing it. `hasActiveBlock` takes no lock. Copyable.
#pragma once

#include <string>
#include <vector>

#include "DaemonCore/DNSCache.hpp"
#include "DaemonCore/HostsFile.hpp"
#include "DaemonCore/UnfairLock.hpp"
#include "HushwallCore/Error.hpp"
#include "HushwallCore/Uuid.hpp"

namespace hushwall {

class BlockController {
 public:
  // The machine's hosts file (symbolic links resolved), flushing DNS caches.
  BlockController();
  BlockController(HostsFile hostsFile, bool flushesDNS, DNSCache dnsCache = DNSCache());

  // The one process-wide mutation lock, shared by every controller and by the
  // session coordinator: it serialises every change of the session and every
  // read-modify-write of the hosts file and the state files. Not re-entrant, so
  // nobody holding it may call `apply` or `removeIfPresent`.
  [[nodiscard]] static UnfairLock& mutationLock();

  [[nodiscard]] const HostsFile& hostsFile() const { return hostsFile_; }
  [[nodiscard]] bool flushesDNS() const { return flushesDNS_; }

  // Writes a block for the validated domains. Fails, leaving the file as it
  // was, with durationOutOfRange (outside 60...86400 s, or not a number),
  // invalidDomain or tooManyDomains (before touching the file),
  // sessionAlreadyActive (the file already holds a block, which is never
  // overwritten), or the read or write error.
  [[nodiscard]] Result<void> apply(const std::vector<std::string>& domains, double duration, const Uuid& sessionID) const;

  // Removes every managed region in one write and reads the file again to
  // confirm. Without a block nothing is written, flushed or logged. Fails with
  // the read or write error, or removalUnverified when a block is still there.
  [[nodiscard]] Result<void> removeIfPresent() const;

  // Whether the file holds a complete managed region; fails with the read error.
  [[nodiscard]] Result<bool> hasActiveBlock() const;

 private:
  HostsFile hostsFile_;
  bool flushesDNS_;
  DNSCache dnsCache_;
};

}  // namespace hushwall
