#include "core/commands.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>

#include "config/load_config.hpp"
#include "core/agent.hpp"
#include "core/check_command.hpp"
#include "core/metadata_command.hpp"
#include "core/status_command.hpp"
#include "core/version_commands.hpp"

namespace qs {

namespace {

// Adding a command is one line here (and its function).
constexpr std::string_view kJsonOption[] = {"--json"};
constexpr std::string_view kRollbackOptions[] = {"--no-hooks"};

constexpr Command kCommands[] = {
    {{"run", 0}, "", "Run the agent until stopped (the default)", runDaemon},
    {{"once", 0}, "", "Sync every bundle once, then exit", runOnce},
    {{"check", 0}, "", "Check the configuration without fetching anything", runCheck},
    {{"status", 0, kJsonOption}, "[--json]",
     "Show each bundle's state from the records in state_dir", runStatus},
    {{"versions", 1, kJsonOption}, "BUNDLE [--json]", "List a bundle's kept versions, newest first",
     runVersions},
    {{"rollback", 2, kRollbackOptions}, "BUNDLE [VERSION] [--no-hooks]",
     "Switch a bundle back to a kept version", runRollback},
    {{"pin", 2}, "BUNDLE VERSION", "Switch to a kept version and install nothing new", runPin},
    {{"unpin", 1}, "BUNDLE", "Let a pinned bundle install new versions again", runUnpin},
    {{"metadata", 1, {}, kMetadataValueOptions}, "--bundle NAME --serial N --expires DURATION PAYLOAD",
     "Print the signed-metadata file of a payload", runMetadata},
};

constexpr auto kCommandSyntax = [] {
    std::array<CommandSyntax, std::size(kCommands)> syntax{};
    for (std::size_t i = 0; i < syntax.size(); ++i) syntax[i] = kCommands[i].syntax;
    return syntax;
}();

// Descriptions start at the sixteenth character, as the option lines do,
// unless a command's synopsis needs more room.
constexpr std::size_t kDescriptionColumn = 15;
// Past this width a synopsis would push every description far to the
// right; its description goes on the next line instead.
constexpr std::size_t kWidestSynopsis = 30;

}  // namespace

std::span<const Command> commands() { return kCommands; }

std::span<const CommandSyntax> commandSyntax() { return kCommandSyntax; }

bool Invocation::hasOption(std::string_view option) const {
    return std::ranges::find(options, option) != options.end();
}

const Command* findCommand(std::string_view word) {
    for (const Command& command : kCommands) {
        if (command.syntax.word == word) return &command;
    }
    return nullptr;
}

std::string usageText() {
    std::string text =
        "quillstead -- configuration bundle pull agent\n"
        "\n"
        "Usage: ";
    text += kUsageLine;
    text +=
        "\n"
        "\n"
        "Options:\n"
        "  -c <path>    Config file (default: ";
    text += defaultConfigPath();
    text +=
        ")\n"
        "  -v           Print version and exit\n"
        "  -h           Print this help and exit\n"
        "\n"
        "Commands:\n";
    const auto synopsis = [](const Command& command) {
        std::string s(command.syntax.word);
        if (!command.arguments.empty()) s.append(" ").append(command.arguments);
        return s;
    };
    std::size_t column = kDescriptionColumn;
    for (const Command& command : kCommands) {
        const std::size_t width = synopsis(command).size();
        if (width <= kWidestSynopsis) column = std::max(column, 2 + width + 2);
    }
    for (const Command& command : kCommands) {
        std::string line = "  " + synopsis(command);
        // A synopsis too wide for the column gets a line of its own.
        if (line.size() + 2 > column) line.append("\n").append(column, ' ');
        else line.resize(column, ' ');
        text += line;
        text += command.summary;
        text += '\n';
    }
    return text;
}

}  // namespace qs
