// A small command-line parser: long options ("--name value", "--name=value"),
// flags, "-h" for "--help", "--" to end the options, and positional words in
// order ("-" alone is a positional word: standard input).
#pragma once

#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Tools/Client/Failure.hpp"

namespace hushwall {

struct OptionSpec {
  std::string_view name;  // without the leading "--"
  bool takesValue = false;
  bool repeatable = false;
};

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>, std::less<>> options;  // flags hold one empty value

  [[nodiscard]] bool has(std::string_view name) const { return options.contains(name); }
  // The value of a single-valued option.
  [[nodiscard]] std::optional<std::string> value(std::string_view name) const;
  [[nodiscard]] std::vector<std::string> values(std::string_view name) const;
};

// Fails with a usage failure naming the unknown option, the missing value or
// the repeated option. "--help" is always known.
[[nodiscard]] std::expected<Arguments, Failure> parseArguments(std::span<const std::string> words,
                                                               std::span<const OptionSpec> specs);

}  // namespace hushwall
