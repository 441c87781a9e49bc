#include "Tools/Client/Command.hpp"

#include <iostream>
#include <vector>

#include "HushwallCore/Strings.hpp"

namespace hushwall {

void printHelp(std::string_view text) { std::cout << text << '\n' << exitStatusHelp(); }

std::expected<std::optional<Arguments>, Failure> commandArguments(std::span<const std::string> words,
                                                                  std::span<const OptionSpec> specs,
                                                                  std::string_view help) {
  auto parsed = parseArguments(words, specs);
  if (!parsed) return std::unexpected(parsed.error());
  if (parsed->has("help")) {
    printHelp(help);
    return std::nullopt;
  }
  return std::optional<Arguments>(std::move(*parsed));
}

int runCommand(std::string_view program, std::string_view help, std::span<const Command> commands, int argc,
               char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
    printHelp(help);
    return words.empty() ? static_cast<int>(ExitCode::usage) : 0;
  }
  std::span<const std::string> rest(words.begin() + 1, words.end());
  CommandOutcome outcome =
      std::unexpected(Failure::usage(cat("unknown command \"", words[0], "\"; see ", program, " --help")));
  for (const Command& command : commands) {
    if (command.name == words[0]) outcome = command.run(rest);
  }
  std::cout.flush();
  if (outcome) return 0;
  std::cerr << program << ": " << outcome.error().message << '\n';
  return static_cast<int>(outcome.error().code);
}

}  // namespace hushwall
