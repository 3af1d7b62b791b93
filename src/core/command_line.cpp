#include "core/command_line.hpp"

#include <algorithm>

#include "config/load_config.hpp"

namespace qs {

CommandLine parseCommandLine(std::span<const std::string> args,
                             std::span<const std::string_view> command_words) {
    CommandLine line;
    line.config_path = kDefaultConfigPath;
    bool have_command = false;
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
        } else if (have_command) {
            // Options keep their meaning after the command word, so
            // "status -c x" reads x; only plain words become operands.
            if (!arg.starts_with('-')) line.operands.push_back(arg);
        } else if (std::ranges::find(command_words, arg) != command_words.end()) {
            line.command = arg;
            have_command = true;
        }
    }
    return line;
}

}  // namespace qs
