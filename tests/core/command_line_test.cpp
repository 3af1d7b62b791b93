#include "core/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qs {
namespace {

struct Case {
    std::string_view name;
    std::vector<std::string> args;
    CommandAction action;
    std::string_view config_path;  // checked only for CommandAction::run
    std::string_view command = "run";
    std::vector<std::string_view> operands = {};
};

// The scan only needs to know which words are commands.
constexpr std::string_view kWords[] = {"run", "once", "versions"};

constexpr std::string_view kDefault = "/usr/local/etc/quillstead/quillstead.conf";

const Case kCases[] = {
    {"no arguments", {}, CommandAction::run, kDefault},
    {"-c takes the next argument", {"-c", "a.conf"}, CommandAction::run, "a.conf"},
    {"-c value may start with a dash", {"-c", "-v"}, CommandAction::run, "-v"},
    {"-c value may be -c", {"-c", "-c"}, CommandAction::run, "-c"},
    {"-c as the last argument is ignored", {"-c"}, CommandAction::run, kDefault},
    {"trailing -c keeps the earlier value", {"-c", "a", "-c"}, CommandAction::run, "a"},
    {"a later -c wins", {"-c", "a", "-c", "b"}, CommandAction::run, "b"},
    {"unknown words are ignored", {"run", "-x", "--config", "x", "-cfile", "-vh"},
     CommandAction::run, kDefault, "run", {"x"}},
    {"words around -c are ignored", {"w", "-c", "a", "z"}, CommandAction::run, "a"},
    {"case matters", {"-V", "-H", "--VERSION", "-C", "x"}, CommandAction::run, kDefault},
    {"empty argument is a word", {"", "-c", ""}, CommandAction::run, ""},
    {"-v", {"-v"}, CommandAction::print_version, ""},
    {"--version", {"--version"}, CommandAction::print_version, ""},
    {"-h", {"-h"}, CommandAction::print_usage, ""},
    {"--help", {"--help"}, CommandAction::print_usage, ""},
    {"the first of -v and -h wins", {"x", "-h", "-v"}, CommandAction::print_usage, ""},
    {"-v after -c with a missing file", {"-c", "missing", "-v"}, CommandAction::print_version, ""},
    {"-- is not an end-of-options marker", {"--", "-v"}, CommandAction::print_version, ""},
    {"a command word selects its command", {"once"}, CommandAction::run, kDefault, "once"},
    {"plain words before the command are ignored", {"x", "y", "once"}, CommandAction::run,
     kDefault, "once"},
    {"the first command word wins; later ones are operands", {"once", "run", "versions"},
     CommandAction::run, kDefault, "once", {"run", "versions"}},
    {"operands follow the command in order", {"versions", "site", "v2"}, CommandAction::run,
     kDefault, "versions", {"site", "v2"}},
    {"-c after the command still names the file",
     {"versions", "-c", "a.conf", "site", "-x"}, CommandAction::run, "a.conf", "versions", {"site"}},
    {"a -c value is never a command word", {"-c", "once"}, CommandAction::run, "once"},
    {"command words compare by bytes", {"Once", "once "}, CommandAction::run, kDefault},
    {"-h after a command word still prints the usage", {"once", "-h"},
     CommandAction::print_usage, ""},
};

TEST(CommandLine, Scan) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const CommandLine line = parseCommandLine(c.args, kWords);
        EXPECT_EQ(line.action, c.action);
        if (c.action == CommandAction::run) {
            EXPECT_EQ(line.config_path, c.config_path);
            EXPECT_EQ(line.command, c.command);
            EXPECT_EQ(line.operands, c.operands);
        }
    }
}

}  // namespace
}  // namespace qs
