// Flushes the system's DNS caches after a block is written or lifted, by
// running two tools: `resolvectl flush-caches` (systemd-resolved) and
// `killall -HUP dnsmasq`. Never fails: a tool that cannot be launched or exits
// non-zero is logged (category "dns") and the other still runs. The tools'
// output goes to /dev/null; they inherit no descriptor but 0, 1 and 2.
//
// `flush` blocks the calling thread until both tools have exited; call it
// without holding any lock. Copyable, thread-safe.
#pragma once

#include <string>
#include <vector>

namespace hushwall {

class DNSCache {
 public:
  // The tools at this executable's system paths.
  DNSCache();
  // Stand-ins at the given absolute paths, for tests.
  DNSCache(std::string resolvectl, std::string killall);

  [[nodiscard]] const std::string& resolvectl() const { return resolvectl_; }
  [[nodiscard]] const std::string& killall() const { return killall_; }

  void flush() const;

  // Runs the program at `path` (not searched for) with `arguments` and waits
  // for it. Logs a launch failure or a non-zero termination status.
  static void run(const std::string& path, const std::vector<std::string>& arguments);

 private:
  std::string resolvectl_;
  std::string killall_;
};

}  // namespace hushwall
