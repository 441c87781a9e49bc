#include "support/StandInProgram.hpp"

#include "support/TemporaryDirectory.hpp"

namespace hushwall::testing {

std::string writeStandIn(const std::string& path, const std::string& body) {
  writeFile(path, "#!/bin/sh\n" + body + "\n", 0755);
  return path;
}

}  // namespace hushwall::testing
