#include "core/command_line.hpp"

#include "config/load_config.hpp"

namespace qs {

CommandLine parseCommandLine(std::span<const std::string> args) {
    CommandLine line;
    line.config_path = kDefaultConfigPath;
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
        }
    }
    return line;
}

}  // namespace qs
