// The only translation unit that differs between the machine's daemon and the
// sandbox daemon: HUSHWALL_PATH_ROOT is "" for the one and the sandbox root for
// the other.
#include "DaemonCore/SystemPaths.hpp"

#ifndef HUSHWALL_PATH_ROOT
#error "HUSHWALL_PATH_ROOT must be defined by the build"
#endif

namespace hushwall {

const SystemPaths& systemPaths() {
  static const SystemPaths paths = SystemPaths::under(HUSHWALL_PATH_ROOT);
  return paths;
}

}  // namespace hushwall
