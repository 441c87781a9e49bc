// The frame of a client program: a table of commands, each with its --help,
// and one way of ending: the command's output on standard output, a failure as
// "<program>: <message>" on standard error with its exit status.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Tools/Client/Arguments.hpp"
#include "Tools/Client/Failure.hpp"

namespace hushwall {

using CommandOutcome = std::expected<void, Failure>;

struct Command {
  std::string_view name;
  std::function<CommandOutcome(std::span<const std::string> words)> run;
};

// Writes a help text followed by the exit-status table to standard output.
void printHelp(std::string_view text);

// A command's words parsed; with --help, `help` is printed and the result is
// empty (the command has nothing more to do).
[[nodiscard]] std::expected<std::optional<Arguments>, Failure> commandArguments(std::span<const std::string> words,
                                                                                std::span<const OptionSpec> specs,
                                                                                std::string_view help);

// Runs the command that argv names. No command prints `help` and exits with the
// usage status; "--help", "-h" or "help" prints it and succeeds.
[[nodiscard]] int runCommand(std::string_view program, std::string_view help, std::span<const Command> commands,
                             int argc, char** argv);

}  // namespace hushwall
