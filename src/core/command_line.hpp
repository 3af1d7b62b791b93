#pragma once
// The command line: -c <path>, -v/--version, -h/--help, and a command word
// with its arguments; everything else is ignored without a message.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/program_version.hpp"

namespace qs {

inline constexpr std::string_view kVersionText = "quillstead " QUILLSTEAD_VERSION "\n";

enum class CommandAction { run, print_version, print_usage };

struct CommandLine {
    CommandAction action = CommandAction::run;
    // A view into the scanned arguments, or the default path.
    std::string_view config_path;
    // The command word, "run" when none was given.
    std::string_view command = "run";
    // The plain words after the command word, in order (views into the
    // scanned arguments); a command uses what it needs and ignores the rest.
    std::vector<std::string_view> operands;
};

// Scans `args` (without the program name) left to right. "-c" takes the next
// argument verbatim, even one starting with a dash; a later "-c" wins; a
// trailing "-c" is ignored. The first -v/--version or -h/--help ends the
// scan. The first other word found in `command_words` selects that command;
// plain words before it are ignored, those after it are its operands.
// Comparison is byte for byte; there is no "--" and no combining.
[[nodiscard]] CommandLine parseCommandLine(std::span<const std::string> args,
                                           std::span<const std::string_view> command_words);

}  // namespace qs
