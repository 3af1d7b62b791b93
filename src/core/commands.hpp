#pragma once
// The command words and what each runs. A command is one entry of the
// table in commands.cpp: its syntax (word, operand count, own options), the
// arguments shown by the usage text, a one-line summary and the function
// that runs it.

#include <span>
#include <string>
#include <string_view>

#include "core/command_line.hpp"
#include "core/poll_loop.hpp"

namespace qs {

// What a command gets from the command line.
struct Invocation {
    std::string_view config_path;
    // Plain words after the command word.
    std::span<const std::string_view> operands;
    // The command's own options that were given ("--json").
    std::span<const std::string_view> options = {};
    // The command's value options that were given ("--bundle site").
    std::span<const OptionValue> values = {};
    // The sync cycle: the real one, or a stand-in in tests.
    SyncStep sync = nullptr;

    [[nodiscard]] bool hasOption(std::string_view option) const;
};

struct Command {
    CommandSyntax syntax;
    // The argument synopsis for the usage text ("" when none).
    std::string_view arguments;
    std::string_view summary;
    // Returns the exit status.
    int (*run)(const Invocation& invocation);
};

// Every command, in the order the usage text lists them; "run" first, the
// command of a command line without a command word.
[[nodiscard]] std::span<const Command> commands();

// The command with this word, or nullptr.
[[nodiscard]] const Command* findCommand(std::string_view word);

// The syntax of every command, for the command-line scan.
[[nodiscard]] std::span<const CommandSyntax> commandSyntax();

// The text of -h: options, then one line per command.
[[nodiscard]] std::string usageText();

}  // namespace qs
