// The daemon's version strings, compiled in: the project version and the
// build's `git describe` (absent when the build did not know it).
#pragma once

#include <optional>
#include <string>

namespace hushwall {

struct BuildInfo {
  std::string version;               // "unknown" when the build had none
  std::optional<std::string> build;  // absent when unknown
};

// Built once, on first use; thread-safe.
[[nodiscard]] const BuildInfo& buildInfo();

}  // namespace hushwall
