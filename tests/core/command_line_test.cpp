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
    std::vector<std::string_view> options = {};
    std::string_view refusal = "";  // checked only for CommandAction::refuse
    std::vector<OptionValue> values = {};
};

constexpr std::string_view kJson[] = {"--json"};
// The scan only needs each command's word, operand count and options.
constexpr std::string_view kMetadataValues[] = {"--bundle", "--serial"};
constexpr CommandSyntax kCommands[] = {
    {"run", 0}, {"once", 0}, {"versions", 1, kJson}, {"metadata", 1, {}, kMetadataValues}};

constexpr std::string_view kDefault = QUILLSTEAD_CONFIG_PATH;
constexpr CommandAction kRefuse = CommandAction::refuse;

const Case kCases[] = {
    {"no arguments", {}, CommandAction::run, kDefault},
    {"-c takes the next argument", {"-c", "a.conf"}, CommandAction::run, "a.conf"},
    {"-c value may start with a dash", {"-c", "-v"}, CommandAction::run, "-v"},
    {"-c value may be -c", {"-c", "-c"}, CommandAction::run, "-c"},
    {"-c as the last argument is ignored", {"-c"}, CommandAction::run, kDefault},
    {"trailing -c keeps the earlier value", {"-c", "a", "-c"}, CommandAction::run, "a"},
    {"a later -c wins", {"-c", "a", "-c", "b"}, CommandAction::run, "b"},
    {"-v", {"-v"}, CommandAction::print_version, ""},
    {"--version", {"--version"}, CommandAction::print_version, ""},
    {"-h", {"-h"}, CommandAction::print_usage, ""},
    {"--help", {"--help"}, CommandAction::print_usage, ""},
    {"the first of -v and -h wins", {"once", "-h", "-v"}, CommandAction::print_usage, ""},
    {"-v after -c with a missing file", {"-c", "missing", "-v"}, CommandAction::print_version, ""},
    {"-v and -h end the scan before a later mistake", {"-v", "chekc"}, CommandAction::print_version, ""},
    {"a command word selects its command", {"once"}, CommandAction::run, kDefault, "once"},
    {"operands follow the command", {"versions", "site"}, CommandAction::run, kDefault, "versions",
     {"site"}},
    {"-c after the command still names the file", {"versions", "-c", "a.conf", "site"},
     CommandAction::run, "a.conf", "versions", {"site"}},
    {"a command's option after its word", {"versions", "site", "--json"}, CommandAction::run,
     kDefault, "versions", {"site"}, {"--json"}},
    {"a -c value is never a command word", {"-c", "once"}, CommandAction::run, "once"},
    {"-h after a command word still prints the usage", {"once", "-h"}, CommandAction::print_usage, ""},
    // Every other word or option is refused, wherever it stands.
    {"a mistyped command", {"-c", "x.conf", "chekc"}, kRefuse, "", "", {}, {}, "unknown command 'chekc'"},
    {"help is not a command", {"help"}, kRefuse, "", "", {}, {}, "unknown command 'help'"},
    {"version is not a command", {"version"}, kRefuse, "", "", {}, {}, "unknown command 'version'"},
    {"case matters for options", {"-V"}, kRefuse, "", "", {}, {}, "unknown option '-V'"},
    {"case matters for words", {"Once"}, kRefuse, "", "", {}, {}, "unknown command 'Once'"},
    {"an unknown long option", {"--dry-run", "once"}, kRefuse, "", "", {}, {},
     "unknown option '--dry-run'"},
    {"an option glued to its value", {"-cfile"}, kRefuse, "", "", {}, {}, "unknown option '-cfile'"},
    {"combined short options", {"-vh"}, kRefuse, "", "", {}, {}, "unknown option '-vh'"},
    {"-- is not an end-of-options marker", {"--", "-v"}, kRefuse, "", "", {}, {},
     "unknown option '--'"},
    {"a command's option before its word", {"--json", "versions", "site"}, kRefuse, "", "", {}, {},
     "unknown option '--json'"},
    {"another command's option", {"once", "--json"}, kRefuse, "", "", {}, {},
     "unknown option '--json'"},
    {"a second command word", {"once", "run"}, kRefuse, "", "", {}, {}, "unexpected argument 'run'"},
    {"one operand too many", {"versions", "site", "v2"}, kRefuse, "", "", {}, {},
     "unexpected argument 'v2'"},
    {"a value option takes the next argument", {"metadata", "--bundle", "site", "p.tgz"},
     CommandAction::run, kDefault, "metadata", {"p.tgz"}, {}, "", {{"--bundle", "site"}}},
    {"a value may start with a dash", {"metadata", "--serial", "-5", "--bundle", "-c", "p"},
     CommandAction::run, kDefault, "metadata", {"p"}, {}, "", {{"--serial", "-5"}, {"--bundle", "-c"}}},
    {"a value may be empty", {"metadata", "--bundle", "", "p"}, CommandAction::run, kDefault, "metadata",
     {"p"}, {}, "", {{"--bundle", ""}}},
    {"a value option last, without its value", {"metadata", "p", "--bundle"}, kRefuse, "", "", {}, {},
     "option '--bundle' needs a value"},
    {"a value option given twice", {"metadata", "--bundle", "a", "--bundle", "b", "p"}, kRefuse, "", "",
     {}, {}, "option '--bundle' given twice"},
    {"a value option before its command", {"--bundle", "a", "metadata"}, kRefuse, "", "", {}, {},
     "unknown option '--bundle'"},
    {"another command's value option", {"once", "--bundle", "a"}, kRefuse, "", "", {}, {},
     "unknown option '--bundle'"},
    {"an empty argument is a word", {""}, kRefuse, "", "", {}, {}, "unknown command ''"},
    {"a word with a trailing blank", {"once "}, kRefuse, "", "", {}, {}, "unknown command 'once '"},
};

TEST(CommandLine, Scan) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const CommandLine line = parseCommandLine(c.args, kCommands);
        EXPECT_EQ(line.action, c.action);
        if (c.action == CommandAction::run) {
            EXPECT_EQ(line.config_path, c.config_path);
            EXPECT_EQ(line.command, c.command);
            EXPECT_EQ(line.operands, c.operands);
            EXPECT_EQ(line.options, c.options);
            EXPECT_EQ(line.values, c.values);
        }
        if (c.action == kRefuse) {
            EXPECT_EQ(line.refusal, c.refusal);
        }
    }
}

}  // namespace
}  // namespace qs
