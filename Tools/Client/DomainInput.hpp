// Domains as people hand them over: on the command line, or in a file (or
// standard input) with one or more per line, separated by white space or
// commas, "#" starting a comment to the end of the line. Validation and
// normalisation are the daemon's; this only splits.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "Tools/Client/Failure.hpp"

namespace hushwall::DomainInput {

// The largest file or standard input read, in bytes: far above 500 domains.
inline constexpr std::size_t maxInputSize = 1 << 20;

// The words of `text` in order; repeats are kept (the daemon folds them).
[[nodiscard]] std::vector<std::string> split(std::string_view text);

// The whole content of `path`, or of standard input for "-"; a usage failure
// naming the path when it cannot be read or is larger than maxInputSize.
[[nodiscard]] std::expected<std::string, Failure> readInput(const std::string& path);

// The domains of the arguments followed by those of each file; a usage
// failure when the result is empty.
[[nodiscard]] std::expected<std::vector<std::string>, Failure> gather(const std::vector<std::string>& words,
                                                                      const std::vector<std::string>& files);

}  // namespace hushwall::DomainInput
