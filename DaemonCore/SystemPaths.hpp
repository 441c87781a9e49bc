// The one place that names the machine's paths. Each daemon executable links
// exactly one definition of `systemPaths()`: `daemon_system_paths` for the
// machine, `daemon_sandbox_paths` for the sandbox daemon, whose paths all lie
// under a compiled-in root. Classes take their file or directory at
// construction, so only defaults and start-up read these.
#pragma once

#include <string>
#include <string_view>

namespace hushwall {

struct SystemPaths {
  std::string hostsFile;       // as named; HostsFile resolves symbolic links
  std::string stateDirectory;  // holds "session.json" and "schedules.json"
  std::string resolvectl;      // flushes systemd-resolved's cache
  std::string killall;         // sends dnsmasq the hang-up signal

  // The machine's paths, each prefixed with `root` ("" for the machine itself;
  // a trailing slash on `root` is ignored).
  [[nodiscard]] static SystemPaths under(std::string_view root);

  friend bool operator==(const SystemPaths&, const SystemPaths&) = default;
};

// This executable's paths; built once, never changed. Thread-safe.
[[nodiscard]] const SystemPaths& systemPaths();

}  // namespace hushwall
