#pragma once
// The command line: -c <path>, -v/--version, -h/--help; everything else is
// ignored without a message.

#include <span>
#include <string>
#include <string_view>

namespace qs {

inline constexpr std::string_view kProgramVersion = "0.3.1";
inline constexpr std::string_view kVersionText = "quillstead 0.3.1\n";
inline constexpr std::string_view kUsageText =
    "quillstead -- configuration bundle pull agent\n"
    "\n"
    "Usage: quillstead [-c config] [-v] [-h]\n"
    "\n"
    "Options:\n"
    "  -c <path>    Config file (default: /usr/local/etc/quillstead/quillstead.conf)\n"
    "  -v           Print version and exit\n"
    "  -h           Print this help and exit\n";
static_assert(kVersionText.size() == 17);
static_assert(kUsageText.size() == 255);

enum class CommandAction { run, print_version, print_usage };

struct CommandLine {
    CommandAction action = CommandAction::run;
    // A view into the scanned arguments, or the default path.
    std::string_view config_path;
};

// Scans `args` (without the program name) left to right. "-c" takes the next
// argument verbatim, even one starting with a dash; a later "-c" wins; a
// trailing "-c" is ignored. The first -v/--version or -h/--help ends the
// scan. Comparison is byte for byte; there is no "--" and no combining.
[[nodiscard]] CommandLine parseCommandLine(std::span<const std::string> args);

}  // namespace qs
