#include "Tools/Client/Arguments.hpp"

#include <algorithm>

#include "HushwallCore/Strings.hpp"

namespace hushwall {

std::optional<std::string> Arguments::value(std::string_view name) const {
  auto found = options.find(name);
  if (found == options.end() || found->second.empty()) return std::nullopt;
  return found->second.back();
}

std::vector<std::string> Arguments::values(std::string_view name) const {
  auto found = options.find(name);
  return found == options.end() ? std::vector<std::string>{} : found->second;
}

std::expected<Arguments, Failure> parseArguments(std::span<const std::string> words,
                                                 std::span<const OptionSpec> specs) {
  static constexpr OptionSpec help{"help", false, false};
  Arguments parsed;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string_view word = words[i];
    if (optionsEnded || word == "-" || !word.starts_with("-")) {
      parsed.positional.emplace_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    if (word == "-h") word = "--help";
    if (!word.starts_with("--")) return std::unexpected(Failure::usage(cat("unknown option ", word)));
    std::string_view name = word.substr(2);
    std::optional<std::string_view> inlineValue;
    if (auto equals = name.find('='); equals != std::string_view::npos) {
      inlineValue = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    const OptionSpec* known = name == help.name ? &help : nullptr;
    for (const OptionSpec& candidate : specs) {
      if (candidate.name == name) known = &candidate;
    }
    if (known == nullptr) return std::unexpected(Failure::usage(cat("unknown option --", name)));
    std::string value;
    if (known->takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < words.size()) {
        value = words[++i];
      } else {
        return std::unexpected(Failure::usage(cat("--", name, " needs a value")));
      }
    } else if (inlineValue) {
      return std::unexpected(Failure::usage(cat("--", name, " takes no value")));
    }
    auto& slot = parsed.options[std::string(name)];
    if (!slot.empty() && !known->repeatable) {
      return std::unexpected(Failure::usage(cat("--", name, " given more than once")));
    }
    slot.push_back(std::move(value));
  }
  return parsed;
}

}  // namespace hushwall
