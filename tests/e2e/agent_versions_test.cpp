// The built agent keeping versions: staging leftovers cleaned at start-up,
// the order of flushes with durable = yes, a payload refused by pre_switch
// not fetched again, and the versions and rollback commands across runs.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_run.hpp"
#include "support/archive.hpp"
#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ok(std::string_view etag, std::string_view body) {
    return "HTTP/1.1 200 OK\r\netag: " + std::string(etag) +
           "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::string kNotModified = "HTTP/1.1 304 Not Modified\r\ncontent-length: 0\r\n\r\n";

// The versions table reduced to its marker and name column, after checking
// that it starts with its header.
std::string markedNames(const std::string& table) {
    static const std::regex header("^  VERSION +WENT LIVE +SIZE\n");
    if (!std::regex_search(table, header)) return "no header: " + table;
    static const std::regex row("([* ] [^ \n]+)  +[^\n]*\n");
    std::string out;
    for (auto it = std::sregex_iterator(table.begin() + table.find('\n') + 1, table.end(), row);
         it != std::sregex_iterator(); ++it) {
        out += (*it)[1].str() + "\n";
    }
    return out;
}

std::string site(const std::string& text) {
    return makeTarGz({dirEntry("conf/"), fileEntry("conf/app.conf", text), fileEntry("ok", "")});
}

class AgentVersions : public ::testing::Test {
protected:
    // One bundle "site" in target_dir t; `extra` holds further key lines.
    std::string config(const ScriptedServer& server, const std::string& extra,
                       const std::string& poll = "3600") {
        const std::string path = dir_ / "agent.conf";
        writeFile(path, "[bundle.site]\nurl = " + server.url("/site.tar.gz") + "\ntarget_dir = " +
                            target() + "\npoll_interval = " + poll + "\n" + extra);
        return path;
    }
    [[nodiscard]] std::string target() const { return dir_ / "t"; }

    static ProcessResult run(const std::vector<std::string>& args) {
        RunOptions options;
        options.args = args;
        options.timeout = 20s;
        return runProcess(quillsteadBinary(), options);
    }

    TempDir dir_;
};

TEST_F(AgentVersions, StartUpRemovesWhatAKilledInstallLeft) {
    ScriptedServer server({script::respond(kNotModified)}, {.repeat_last = true});
    const std::string conf = config(server, "");
    const std::string dead = std::to_string(deadProcessId());
    fs::create_directories(target() + "/.staging-7-" + dead + "/conf");
    writeFile(target() + "/.staging-7-" + dead + "/conf/app.conf", "half");
    fs::create_directory(target() + "/v6");
    fs::create_symlink("v6", target() + "/current");
    fs::create_symlink("v7", target() + "/current.tmp-" + dead);
    // An operator's notes that merely start like a staging directory.
    fs::create_directories(target() + "/.staging-notes");
    const ProcessResult r = run({"-c", conf, "once"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("info(quillstead): [site] removed leftover " + target() +
                         "/.staging-7-" + dead + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("info(quillstead): [site] removed leftover " + target() + "/current.tmp-" +
                         dead + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(listDir(target()), (std::vector<std::string>{".staging-notes", "current", "v6"}));
}

// durable = yes: the new tree is on the disk before `current` names it,
// the switch before the old version goes and before the ETag record names
// the new payload. Shown by the system calls in the order the agent made
// them (strace); a real power cut is not available in this environment.
TEST_F(AgentVersions, DurableFlushesBeforeEachStepThatDependsOnIt) {
    if (!shell("command -v strace >/dev/null")) GTEST_SKIP() << "strace is not installed";
    ScriptedServer server({script::respond(ok("\"1\"", site("one"))),
                           script::respond(ok("\"2\"", site("two")))});
    const std::string conf = config(server, "durable = yes\n");
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    const std::string trace = dir_ / "trace";
    RunOptions options;
    // LeakSanitizer cannot work under ptrace; in a sanitizer build the
    // traced agent runs without it (env passes the rest of the environment).
    options.args = {"ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-qq", "-y", "-e",
                    "signal=none", "-e",
                    "trace=fsync,syncfs,rename,renameat,renameat2,unlink,unlinkat,openat", "-o", trace,
                    quillsteadBinary(), "-c", conf, "once"};
    options.timeout = 20s;
    const ProcessResult r = runProcess("/usr/bin/env", options);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    ASSERT_EQ(linkTarget(target() + "/current"), "v2");

    std::vector<std::string> calls;
    {
        const std::string text = readFile(trace);
        std::size_t start = 0;
        for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
            calls.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }
    const std::string t = target();
    // The index of the first call at or after `from` matching `pattern`.
    const auto first = [&](const std::string& pattern, std::size_t from = 0) {
        const std::regex re(pattern);
        for (std::size_t i = from; i < calls.size(); ++i)
            if (std::regex_search(calls[i], re)) return i;
        ADD_FAILURE() << "no call matches " << pattern << " after call " << from;
        return calls.size();
    };
    const std::string dir = std::regex_replace(t, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    const std::size_t staged = first(R"(syncfs\(\d+<)" + dir + R"(/\.staging-2-\d+>)");
    const std::size_t named = first(R"(rename(at2?)?\(.*\.staging-2-\d+", .*/v2")");
    const std::size_t switched = first(R"(rename(at2?)?\(.*/current\.tmp-\d+", .*/current")");
    const std::size_t switch_flushed = first(R"(fsync\(\d+<)" + dir + R"(>\))", switched);
    const std::size_t old_moved = first(R"(rename(at2?)?\(.*/v1", )");
    const std::size_t old_removed = first(R"(unlinkat\(.*app\.conf)", old_moved);
    const std::size_t record_flushed = first(R"(fsync\(\d+<)" + dir + R"(/\.etag\.tmp>\))");
    const std::size_t recorded = first(R"(rename(at2?)?\(.*/\.etag\.tmp", .*/\.etag")");
    const std::size_t record_dir_flushed = first(R"(fsync\(\d+<)" + dir + R"(>\))", recorded);
    EXPECT_LT(staged, named);
    EXPECT_LT(named, switched);
    EXPECT_LT(switched, switch_flushed);
    EXPECT_LT(switch_flushed, old_moved);
    EXPECT_LT(old_moved, old_removed);
    EXPECT_LT(switch_flushed, record_flushed);
    EXPECT_LT(record_flushed, recorded);
    EXPECT_LT(recorded, record_dir_flushed);
    EXPECT_LT(record_dir_flushed, calls.size());
    EXPECT_EQ(readFile(t + "/.etag"), "\"2\"");
}

// A refused payload is asked for with its ETag beside the installed one,
// so the server answers 304 instead of sending it again; the next payload
// is tried normally.
TEST_F(AgentVersions, PreSwitchRefusalIsNotDownloadedAgain) {
    ScriptedServer server({script::respond(ok("\"good\"", site("good"))),
                           script::respond(ok("\"bad\"", makeTarGz({fileEntry("x", "")}))),
                           script::respond(kNotModified),
                           script::respond(ok("\"better\"", site("better"))),
                           script::respond(kNotModified)},
                          {.repeat_last = true, .lifetime = 20s});
    const std::string conf = config(server, "pre_switch = test -f ok\n", "1");
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", conf}});
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (server.requests().size() < 6 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    agent.signal(SIGTERM);
    const ProcessResult r = agent.wait(10s);
    const auto requests = server.requests();
    ASSERT_GE(requests.size(), 6u) << r.err;
    const auto condition = [&](std::size_t i) {
        std::smatch m;
        const std::regex re("\r\nif-none-match: ([^\r]*)\r\n", std::regex::icase);
        return std::regex_search(requests[i].bytes, m, re) ? m[1].str() : std::string("<none>");
    };
    EXPECT_EQ(condition(0), "<none>");
    EXPECT_EQ(condition(1), "\"good\"");
    EXPECT_EQ(condition(2), "\"good\", \"bad\"");
    EXPECT_EQ(condition(3), "\"good\", \"bad\"");
    EXPECT_EQ(condition(4), "\"better\"");
    EXPECT_EQ(condition(5), "\"better\"");
    EXPECT_NE(r.err.find("error(quillstead): [site] pre_switch refused version bad: exited with code 1\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(linkTarget(target() + "/current"), "vbetter");
    EXPECT_EQ(readFile(target() + "/.etag"), "\"better\"");
}

TEST_F(AgentVersions, VersionsAndRollbackAcrossRuns) {
    ScriptedServer server({script::respond(ok("\"a\"", site("a"))),
                           script::respond(ok("\"b\"", site("b"))), script::respond(kNotModified)},
                          {.repeat_last = true, .lifetime = 20s});
    const std::string conf = config(server, "keep_versions = 3\n");
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err_line;  // a line the standard error must hold
        std::string live_after;
    };
    const Step steps[] = {
        {{"versions", "site"}, 0, "* b\n  a\n", "", "vb"},
        {{"rollback", "site"}, 0, "[site] current -> a (was b)\n", "", "va"},
        // A restarted agent gets 304 for the recorded ETag and keeps the
        // rolled-back version.
        {{"once"}, 0, "", "info(quillstead): [site] unchanged\n", "va"},
        {{"versions", "site"}, 0, "  b\n* a\n", "", "va"},
        {{"rollback", "site"}, 1, "", "error(quillstead): [site] nothing to roll back to\n", "va"},
        {{"rollback", "site", "b"}, 0, "[site] current -> b (was a)\n", "", "vb"},
        // The directory's name is accepted as well.
        {{"rollback", "site", "va"}, 0, "[site] current -> a (was b)\n", "", "va"},
        {{"rollback", "site", "vb"}, 0, "[site] current -> b (was a)\n", "", "vb"},
        {{"rollback", "site", "c"}, 1, "", "error(quillstead): [site] no version c in " + target() + "\n", "vb"},
        {{"rollback", "other"}, 1, "", "error(quillstead): unknown bundle: other\n", "vb"},
        {{"versions", "other"}, 1, "", "error(quillstead): unknown bundle: other\n", "vb"},
        {{"versions"}, 1, "", "error(quillstead): versions needs a bundle name\n", "vb"},
    };
    for (const auto& s : steps) {
        std::vector<std::string> args = {"-c", conf};
        args.insert(args.end(), s.args.begin(), s.args.end());
        const ProcessResult r = run(args);
        SCOPED_TRACE(s.args[0] + (s.args.size() > 1 ? " " + s.args[1] : std::string()));
        EXPECT_EQ(r.exit_status, s.status) << r.err;
        EXPECT_EQ(s.args[0] == "versions" && s.status == 0 ? markedNames(r.out) : r.out, s.out);
        if (!s.err_line.empty()) {
            EXPECT_NE(r.err.find(s.err_line), std::string::npos) << r.err;
        }
        EXPECT_EQ(linkTarget(target() + "/current"), s.live_after);
    }
    EXPECT_EQ(readFile(target() + "/.etag"), "\"b\"");
}

// A kept version that the server offers again is a new install under an
// existing name; refused by pre_switch it must leave the kept tree, the
// record and the live version as they were, so a rollback still finds it.
TEST_F(AgentVersions, RefusedReinstallOfAKeptVersionKeepsIt) {
    ScriptedServer server({script::respond(ok("\"a\"", site("a"))),
                           script::respond(ok("\"b\"", site("b"))),
                           script::respond(ok("\"a\"", site("a again")))},
                          {.lifetime = 20s});
    const std::string refuse = dir_ / "refuse";
    const std::string conf =
        config(server, "keep_versions = 3\npre_switch = test ! -e " + refuse + "\n");
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    ASSERT_EQ(linkTarget(target() + "/current"), "vb");
    const std::vector<std::string> entries = listDir(target());
    const std::string record = readFile(target() + "/.versions");

    writeFile(refuse, "");
    const ProcessResult r = run({"-c", conf, "once"});
    EXPECT_EQ(r.exit_status, 2) << r.err;
    EXPECT_NE(r.err.find("error(quillstead): [site] pre_switch refused version a: exited with code 1\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(listDir(target()), entries);
    EXPECT_EQ(readFile(target() + "/.versions"), record);
    EXPECT_EQ(readFile(target() + "/va/conf/app.conf"), "a");
    EXPECT_EQ(linkTarget(target() + "/current"), "vb");
    EXPECT_EQ(readFile(target() + "/.etag"), "\"b\"");

    fs::remove(refuse);
    const ProcessResult back = run({"-c", conf, "rollback", "site", "a"});
    EXPECT_EQ(back.exit_status, 0) << back.err;
    EXPECT_EQ(linkTarget(target() + "/current"), "va");
}

// Version names come from the server's ETags: ESC and BEL in them reach
// the terminal through versions and rollback only as "?", as in status.
TEST_F(AgentVersions, ControlBytesOfVersionNamesAreMaskedOnTheTerminal) {
    ScriptedServer server({script::respond(ok("\"\x1b]0;pwned\x07" "a\"", site("a"))),
                           script::respond(ok("\"b\x1b[2J\"", site("b")))},
                          {.lifetime = 20s});
    const std::string conf = config(server, "keep_versions = 3\n");
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    ProcessResult r = run({"-c", conf, "versions", "site"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(markedNames(r.out), "* b?[2J\n  ?]0;pwned?a\n");
    r = run({"-c", conf, "rollback", "site"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "[site] current -> ?]0;pwned?a (was b?[2J)\n");
    EXPECT_EQ(linkTarget(target() + "/current"), "v\x1b]0;pwned\x07" "a");
}

// rollback is an install of a kept version as far as the hooks go:
// pre_switch may refuse it, post_sync follows it, both told by
// QUILLSTEAD_ROLLBACK=1; --no-hooks switches without either.
TEST_F(AgentVersions, RollbackRunsHooksUnlessToldNot) {
    ScriptedServer server({script::respond(ok("\"a\"", site("a"))),
                           script::respond(ok("\"b\"", site("b")))},
                          {.lifetime = 20s});
    const std::string hooks = dir_ / "hooks";
    const std::string refuse = dir_ / "refuse";
    const std::string conf = config(
        server, "keep_versions = 3\npre_switch = echo \"pre $QUILLSTEAD_VERSION $QUILLSTEAD_ROLLBACK $PWD\" >> " +
                    hooks + "; test ! -e " + refuse +
                    "\npost_sync = echo \"post $QUILLSTEAD_VERSION $QUILLSTEAD_PREVIOUS_VERSION "
                    "$QUILLSTEAD_ROLLBACK\" >> " + hooks + "\n");
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    fs::remove(hooks);
    const std::string t = target();

    ProcessResult r = run({"-c", conf, "rollback", "site"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "[site] current -> a (was b)\n");
    EXPECT_EQ(readFile(hooks), "pre a 1 " + t + "/va\npost a b 1\n");

    writeFile(refuse, "");
    r = run({"-c", conf, "rollback", "site", "b"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("error(quillstead): [site] pre_switch refused version b: exited with code 1\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(linkTarget(t + "/current"), "va");
    EXPECT_EQ(readFile(hooks), "pre a 1 " + t + "/va\npost a b 1\npre b 1 " + t + "/vb\n");

    r = run({"-c", conf, "rollback", "site", "b", "--no-hooks"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "[site] current -> b (was a)\n");
    EXPECT_EQ(linkTarget(t + "/current"), "vb");
    EXPECT_EQ(readFile(hooks), "pre a 1 " + t + "/va\npost a b 1\npre b 1 " + t + "/vb\n");
}

// A pin is a file beside .versions: every later run (a restart) polls and
// reports a new payload but installs nothing until unpin.
TEST_F(AgentVersions, PinnedBundleInstallsNothingNewUntilUnpinned) {
    ScriptedServer server({script::respond(ok("\"a\"", site("a"))),
                           script::respond(ok("\"b\"", site("b"))),
                           script::respond(ok("\"c\"", site("c")))},
                          {.repeat_last = true, .lifetime = 20s});
    const std::string conf = config(server, "keep_versions = 3\n");
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    ProcessResult r = run({"-c", conf, "pin", "site", "a"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "[site] pinned to a\n");
    EXPECT_EQ(linkTarget(target() + "/current"), "va");
    EXPECT_EQ(readFile(target() + "/.pin"), "va");
    EXPECT_EQ(run({"-c", conf, "pin", "site", "z"}).exit_status, 1);

    r = run({"-c", conf, "once"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("info(quillstead): [site] pinned to a: not installing c\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(linkTarget(target() + "/current"), "va");
    EXPECT_FALSE(fs::exists(target() + "/vc"));

    r = run({"-c", conf, "unpin", "site"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "[site] unpinned\n");
    r = run({"-c", conf, "once"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("info(quillstead): [site] installed version c\n"), std::string::npos) << r.err;
    EXPECT_EQ(linkTarget(target() + "/current"), "vc");
}

// versions tells when each kept version last went live and what its tree
// occupies. A version switched away from keeps the time of its switch, not
// of its extraction; the sizes are what du counts for the same directory
// (blocks, not lengths; a second name of a file once; a link not followed).
TEST_F(AgentVersions, VersionsShowWhenEachWentLiveAndItsSizeOnDisk) {
    std::string big(300 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
    ScriptedServer server(
        {script::respond(ok("\"a\"", makeTarGz({dirEntry("data/"), fileEntry("data/big", big),
                                                 fileEntry("small", "a")}))),
         script::respond(ok("\"b\"", site("b")))},
        {.lifetime = 20s});
    const std::string conf = config(server, "keep_versions = 3\n");
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);
    // Files an operator made in the kept tree count as the tree's.
    fs::create_hard_link(target() + "/va/data/big", target() + "/va/big-again");
    writeFile(dir_ / "outside", big);
    fs::create_symlink(dir_ / "outside", target() + "/va/outside-link");
    ASSERT_EQ(run({"-c", conf, "once"}).exit_status, 0);

    struct Listed {
        bool live = false;
        std::int64_t went_live = -1;
        std::uint64_t bytes = 0;
    };
    const auto listed = [&] {
        const ProcessResult r = run({"-c", conf, "versions", "site", "--json"});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        std::map<std::string, Listed> versions;
        static const std::regex line(
            R"re(\{"name":"([^"]*)","live":(true|false),"went_live":(\d+),"bytes":(\d+)\}\n)re");
        for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), line); it != std::sregex_iterator(); ++it) {
            versions[(*it)[1].str()] = {(*it)[2].str() == "true", std::stoll((*it)[3].str()),
                                        std::stoull((*it)[4].str())};
        }
        EXPECT_EQ(versions.size(), 2u) << r.out;
        return versions;
    };
    const auto du = [&](const std::string& name) -> std::uint64_t {
        const ProcessResult r =
            runProcess("/usr/bin/du", {.args = {"-s", "-B1", "--", target() + "/" + name}});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return std::stoull(r.out);
    };

    // Distinct seconds for the install of b and the rollback to a.
    std::this_thread::sleep_for(1100ms);
    ASSERT_EQ(run({"-c", conf, "rollback", "site", "a"}).exit_status, 0);
    auto first = listed();
    EXPECT_TRUE(first["a"].live);
    EXPECT_FALSE(first["b"].live);
    EXPECT_GT(first["a"].went_live, first["b"].went_live);
    EXPECT_EQ(first["a"].bytes, du("va"));
    EXPECT_EQ(first["b"].bytes, du("vb"));
    EXPECT_GT(first["a"].bytes, big.size());
    EXPECT_LT(first["a"].bytes, 2 * big.size());

    std::this_thread::sleep_for(1100ms);
    ASSERT_EQ(run({"-c", conf, "rollback", "site", "b"}).exit_status, 0);
    auto second = listed();
    EXPECT_TRUE(second["b"].live);
    EXPECT_GT(second["b"].went_live, first["a"].went_live);
    // a's time is still that of the rollback to it, not of its install.
    EXPECT_EQ(second["a"].went_live, first["a"].went_live);
    EXPECT_EQ(second["a"].bytes, first["a"].bytes);

    const ProcessResult plain = run({"-c", conf, "versions", "site"});
    EXPECT_EQ(plain.exit_status, 0) << plain.err;
    EXPECT_TRUE(std::regex_match(plain.out, std::regex("  VERSION  WENT LIVE  SIZE\n"
                                                       R"(\* b        \d+s ago +\d+(\.\d)? KiB\n)"
                                                       R"(  a        \d+s ago +\d+(\.\d)? KiB\n)")))
        << plain.out;
}

}  // namespace
}  // namespace qs::test
