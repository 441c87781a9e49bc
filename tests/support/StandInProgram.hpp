// Executable shell scripts that stand in for system tools in tests.
#pragma once

#include <string>

namespace hushwall::testing {

// Writes "#!/bin/sh" and `body` to `path`, mode 0755, and returns `path`.
std::string writeStandIn(const std::string& path, const std::string& body);

}  // namespace hushwall::testing
