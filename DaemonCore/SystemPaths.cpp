#include "DaemonCore/SystemPaths.hpp"

#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"

namespace hushwall {

SystemPaths SystemPaths::under(std::string_view root) {
  while (root.ends_with('/')) root.remove_suffix(1);
  return SystemPaths{
      .hostsFile = cat(root, "/etc/hosts"),
      .stateDirectory = cat(root, "/var/lib/", daemonName),
      .resolvectl = cat(root, "/usr/bin/resolvectl"),
      .killall = cat(root, "/usr/bin/killall"),
  };
}

}  // namespace hushwall
