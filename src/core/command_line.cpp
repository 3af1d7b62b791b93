#include "core/command_line.hpp"

#include <algorithm>

#include "config/load_config.hpp"

namespace qs {

namespace {

CommandLine refused(std::string_view what, std::string_view arg) {
    CommandLine line;
    line.action = CommandAction::refuse;
    line.refusal.append(what).append(" '").append(arg).append("'");
    return line;
}

}  // namespace

CommandLine parseCommandLine(std::span<const std::string> args,
                             std::span<const CommandSyntax> commands) {
    CommandLine line;
    line.config_path = defaultConfigPath();
    const CommandSyntax* command = nullptr;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-c") {
            if (i + 1 < args.size()) line.config_path = args[++i];
        } else if (arg == "-v" || arg == "--version") {
            line.action = CommandAction::print_version;
            return line;
        } else if (arg == "-h" || arg == "--help") {
            line.action = CommandAction::print_usage;
            return line;
        } else if (arg.starts_with('-')) {
            // Options keep their meaning after the command word, so
            // "status -c x" reads x; a command's own option follows its word.
            if (command != nullptr && std::ranges::find(command->value_options, arg) != command->value_options.end()) {
                if (i + 1 == args.size()) {
                    CommandLine refusal;
                    refusal.action = CommandAction::refuse;
                    refusal.refusal.append("option '").append(arg).append("' needs a value");
                    return refusal;
                }
                // A value given twice would leave one of the two unused
                // without a word: the publisher's helper prints what it
                // signs, so it takes each value exactly once.
                if (std::ranges::find(line.values, arg, &OptionValue::option) != line.values.end()) {
                    CommandLine refusal;
                    refusal.action = CommandAction::refuse;
                    refusal.refusal.append("option '").append(arg).append("' given twice");
                    return refusal;
                }
                line.values.push_back(OptionValue{arg, args[++i]});
                continue;
            }
            if (command == nullptr || std::ranges::find(command->options, arg) == command->options.end()) {
                return refused("unknown option", arg);
            }
            line.options.push_back(arg);
        } else if (command == nullptr) {
            const auto found = std::ranges::find(commands, arg, &CommandSyntax::word);
            if (found == commands.end()) return refused("unknown command", arg);
            command = &*found;
            line.command = found->word;
        } else {
            if (line.operands.size() == command->max_operands) return refused("unexpected argument", arg);
            line.operands.push_back(arg);
        }
    }
    return line;
}

}  // namespace qs
