// Command lines run by the built agent against a loopback server that counts
// requests: a mistyped word or option is refused before anything is read or
// fetched, and the accepted forms do what they say.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kUsageLine =
    "usage: quillstead [-c config] [-v] [-h] [COMMAND [ARGS]]\n";

struct Case {
    std::string_view name;
    std::vector<std::string> args;  // after "-c {conf}"
    int exit_status;
    // For a refused line: the error line; otherwise empty.
    std::string_view refusal;
    // How many requests the server sees while this line runs.
    std::size_t fetches = 0;
};

TEST(CommandWords, TyposAreRefusedAndNothingIsFetched) {
    ScriptedServer server(
        {script::respond("HTTP/1.1 200 OK\r\nETag: \"m1\"\r\ncontent-length: 6\r\n\r\nhello\n")},
        {.repeat_last = true, .lifetime = 60s});
    TempDir dir;
    const std::string target = dir / "motd";
    writeFile(dir / "q.conf", "[global]\nstate_dir = " + (dir / "state") +
                                  "\n[bundle.motd]\nurl = " + server.url("/motd.txt") +
                                  "\ntarget_dir = " + target +
                                  "\nmode = direct\nformat = raw\nfilename = motd.txt\n");
    const Case cases[] = {
        {"a mistyped command", {"chekc"}, 2, "error: unknown command 'chekc'\n"},
        {"help as a word", {"help"}, 2, "error: unknown command 'help'\n"},
        {"version as a word", {"version"}, 2, "error: unknown command 'version'\n"},
        {"-V", {"-V"}, 2, "error: unknown option '-V'\n"},
        {"an option the agent lacks", {"--dry-run", "once"}, 2, "error: unknown option '--dry-run'\n"},
        {"an option glued to its value", {"-cother.conf", "once"}, 2,
         "error: unknown option '-cother.conf'\n"},
        {"another command's option", {"once", "--json"}, 2, "error: unknown option '--json'\n"},
        {"a second command", {"check", "once"}, 2, "error: unexpected argument 'once'\n"},
        {"an operand too many", {"versions", "motd", "v1"}, 2,
         "error: unexpected argument 'v1'\n"},
        {"rollback with a third word", {"rollback", "motd", "v1", "v2"}, 2,
         "error: unexpected argument 'v2'\n"},
        {"another command's --no-hooks", {"versions", "motd", "--no-hooks"}, 2,
         "error: unknown option '--no-hooks'\n"},
        {"pin with a third word", {"pin", "motd", "1", "2"}, 2, "error: unexpected argument '2'\n"},
        {"pin with an option", {"pin", "motd", "1", "--no-hooks"}, 2,
         "error: unknown option '--no-hooks'\n"},
        {"unpin with a version", {"unpin", "motd", "1"}, 2, "error: unexpected argument '1'\n"},
        {"a mistyped pin", {"pni", "motd"}, 2, "error: unknown command 'pni'\n"},
        // Accepted words on a raw bundle, which keeps no versions.
        {"versions of a raw bundle", {"versions", "motd"}, 1, ""},
        {"versions --json of a raw bundle", {"versions", "motd", "--json"}, 1, ""},
        {"rollback --no-hooks of a raw bundle", {"rollback", "motd", "--no-hooks"}, 1, ""},
        {"pin of a raw bundle", {"pin", "motd", "1"}, 1, ""},
        {"unpin of a raw bundle", {"unpin", "motd"}, 1, ""},
        // The accepted forms.
        {"-v", {"-v"}, 0, ""},
        {"--version", {"--version"}, 0, ""},
        {"-h", {"-h"}, 0, ""},
        {"--help", {"--help"}, 0, ""},
        {"check", {"check"}, 0, ""},
        {"status before any cycle", {"status"}, 2, ""},
        {"status --json before any cycle", {"status", "--json"}, 2, ""},
        {"once", {"once"}, 0, "", 1},
        {"status after a cycle", {"status"}, 0, ""},
        {"status --json after a cycle", {"status", "--json"}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = server.requests().size();
        RunOptions options;
        options.args = {"-c", dir / "q.conf"};
        options.args.insert(options.args.end(), c.args.begin(), c.args.end());
        options.timeout = 20s;
        const auto result = runProcess(quillsteadBinary(), options);
        EXPECT_EQ(result.exit_status, c.exit_status) << result.err;
        EXPECT_EQ(server.requests().size() - before, c.fetches);
        if (!c.refusal.empty()) {
            EXPECT_EQ(result.err, std::string(c.refusal) + std::string(kUsageLine));
            EXPECT_EQ(result.out, "");
            // Not even the state directory is made.
            EXPECT_FALSE(std::filesystem::exists(dir / "state"));
        }
        if (c.args.front() == "status" && c.args.back() == "--json") {
            // One object per bundle, one line each.
            const std::string& out = result.out;
            ASSERT_FALSE(out.empty());
            EXPECT_EQ(out.front(), '{');
            EXPECT_TRUE(out.ends_with("}\n")) << out;
        }
    }
    EXPECT_TRUE(std::filesystem::exists(target + "/motd.txt"));
}

TEST(CommandWords, JsonFormsCarryTheRecords) {
    ScriptedServer server(
        {script::respond("HTTP/1.1 200 OK\r\nETag: \"m1\"\r\ncontent-length: 6\r\n\r\nhello\n")},
        {.repeat_last = true, .lifetime = 30s});
    TempDir dir;
    writeFile(dir / "q.conf", "[global]\nstate_dir = " + (dir / "state") +
                                  "\n[bundle.site]\nurl = " + server.url("/site.txt") +
                                  "\ntarget_dir = " + (dir / "site") +
                                  "\nformat = raw\nfilename = a.txt\n"
                                  "[bundle.never]\nurl = http://127.0.0.1:9/x\ntarget_dir = " +
                                  (dir / "never") + "\n");
    RunOptions options;
    options.args = {"-c", dir / "q.conf", "once"};
    options.timeout = 20s;
    (void)runProcess(quillsteadBinary(), options);
    options.args = {"-c", dir / "q.conf", "status", "--json"};
    const auto status = runProcess(quillsteadBinary(), options);
    EXPECT_EQ(status.exit_status, 2);
    const std::size_t first_end = status.out.find('\n');
    ASSERT_NE(first_end, std::string::npos);
    const std::string first = status.out.substr(0, first_end + 1);
    const std::string second = status.out.substr(first_end + 1);
    EXPECT_TRUE(first.starts_with("{\"bundle\":\"site\",")) << first;
    EXPECT_NE(first.find("\"result\":\"installed\""), std::string::npos) << first;
    EXPECT_TRUE(second.starts_with("{\"bundle\":\"never\",")) << second;
    EXPECT_NE(second.find("\"result\":\"fetch_failed\""), std::string::npos) << second;
    EXPECT_EQ(std::count(status.out.begin(), status.out.end(), '\n'), 2);
}

}  // namespace
}  // namespace qs::test
