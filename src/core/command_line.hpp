#pragma once
// The command line: -c <path>, -v/--version, -h/--help, and one command
// word with its arguments. Anything else is refused: a mistyped word must
// never fall through to the daemon, which installs payloads and runs hooks.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/program_version.hpp"

namespace qs {

inline constexpr std::string_view kVersionText = "quillstead " QUILLSTEAD_VERSION "\n";

// The one-line synopsis printed after a refused command line.
inline constexpr std::string_view kUsageLine = "quillstead [-c config] [-v] [-h] [COMMAND [ARGS]]";

// What the scan needs to know of a command: its word, how many plain words
// it takes, the options of its own ("--json") and its own options that take
// the next argument as their value ("--bundle NAME").
struct CommandSyntax {
    std::string_view word;
    std::size_t max_operands = 0;
    std::span<const std::string_view> options = {};
    std::span<const std::string_view> value_options = {};
};

// A value option as given: the option and the argument after it.
struct OptionValue {
    std::string_view option;
    std::string_view value;
    bool operator==(const OptionValue&) const = default;
};

enum class CommandAction { run, print_version, print_usage, refuse };

struct CommandLine {
    CommandAction action = CommandAction::run;
    // A view into the scanned arguments, or the default path.
    std::string_view config_path;
    // The command word, "run" when none was given.
    std::string_view command = "run";
    // The plain words after the command word, in order (views into the
    // scanned arguments).
    std::vector<std::string_view> operands;
    // The command's own options that were given, in order.
    std::vector<std::string_view> options;
    // The command's value options that were given, in order.
    std::vector<OptionValue> values;
    // For CommandAction::refuse: the message after "error: ".
    std::string refusal;
};

// Scans `args` (without the program name) left to right. "-c" takes the next
// argument verbatim, even one starting with a dash; a later "-c" wins; a
// trailing "-c" is ignored. The first -v/--version or -h/--help ends the
// scan. The first plain word must be a command word; the plain words after
// it are its operands, up to its max_operands; an argument starting with a
// dash must be one of the above or an option of the command named before
// it. A value option of the command takes the next argument verbatim, as -c
// does; given twice, or last with nothing after it, it refuses the line
// ("option '--x' given twice", "option '--x' needs a value"). Anything else
// refuses the line ("unknown command 'x'", "unknown option '-x'",
// "unexpected argument 'x'"). Comparison is byte for byte;
// there is no "--" and no combining.
[[nodiscard]] CommandLine parseCommandLine(std::span<const std::string> args,
                                           std::span<const CommandSyntax> commands);

}  // namespace qs
