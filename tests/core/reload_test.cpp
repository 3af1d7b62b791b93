// SIGHUP with settings the agent cannot use: the running agent keeps every
// bundle still in the file, says what changed and what it refused, and
// stays in its log format whatever the file it was sent holds.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

constexpr ScriptedServerOptions kRepeating{.repeat_last = true, .lifetime = 60s};
const std::string kNotModified = "HTTP/1.1 304 Not Modified\r\n\r\n";

std::string section(const std::string& name, const std::string& url, const std::string& dir,
                    const std::string& extra = "") {
    return "[bundle." + name + "]\n" + (url.empty() ? "" : "url = " + url + "\n") +
           "target_dir = " + dir + "\nformat = raw\nfilename = f\nmode = direct\npoll_interval = 3600\n" +
           extra;
}

bool waitForRequests(const ScriptedServer& server, std::size_t count, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (server.requests().size() < count) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The agent's JSON log as text lines ("level(scope): msg"); a line that is
// not one JSON object of the log's members becomes "NOT JSON: " and the line.
std::string jsonAsText(const std::string& log) {
    TempDir dir;
    writeFile(dir / "log", log);
    RunOptions options;
    options.args = {"-c",
                    "import json, sys\n"
                    "for line in open(sys.argv[1], encoding='utf-8').read().split('\\n')[:-1]:\n"
                    "    try:\n"
                    "        o = json.loads(line)\n"
                    "        assert set(o) <= {'ts', 'level', 'scope', 'bundle', 'msg'}\n"
                    "        print('%s(%s): %s' % (o['level'], o['scope'], o['msg']))\n"
                    "    except Exception:\n"
                    "        print('NOT JSON: ' + line)\n",
                    dir / "log"};
    return runProcess("/usr/bin/python3", options).out;
}

// Polls the log until `text` appears in its text form.
bool waitForLine(RunningProcess& agent, const std::string& text, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (jsonAsText(agent.stderrSoFar()).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

ProcessResult command(const std::string& conf, const std::vector<std::string>& words) {
    RunOptions options;
    options.args = {"-c", conf};
    options.args.insert(options.args.end(), words.begin(), words.end());
    return runProcess(quillsteadBinary(), options);
}

// The line of `table` that starts with `name` and a blank.
// A row whose last cycle went well: unchanged or installed.
bool goodRow(const std::string& row) {
    return row.find(" unchanged ") != std::string::npos || row.find(" installed ") != std::string::npos;
}

std::string rowOf(const std::string& table, const std::string& name) {
    const auto at = table.find("\n" + name + " ");
    if (at == std::string::npos) return "";
    return table.substr(at + 1, table.find('\n', at + 1) - at - 1);
}

TEST(Reload, UnusableSettingsKeepTheRunningBundleAndMarkItFailing) {
    ScriptedServer signed_site({script::respond(kNotModified)}, kRepeating);
    ScriptedServer headless({script::respond(kNotModified)}, kRepeating);
    ScriptedServer gone({script::respond(kNotModified)}, kRepeating);
    ScriptedServer tuned({script::respond(kNotModified)}, kRepeating);
    ScriptedServer moved({script::respond(kNotModified)}, kRepeating);
    TempDir dir;
    const std::string conf = dir / "q.conf";
    const std::string global = "[global]\nlog_format = json\nstate_dir = " + (dir / "state") +
                               "\nmetrics_file = " + (dir / "m.prom") + "\n";
    const std::string moved_url = moved.url("/m");
    const std::string secret_url = "http://u:s3cret@" + moved_url.substr(7);
    writeFile(conf, global + section("site", signed_site.url("/s"), dir / "s") +
                        section("headless", headless.url("/h"), dir / "h") +
                        section("gone", gone.url("/g"), dir / "g") +
                        section("tuned", tuned.url("/t"), dir / "t") +
                        section("moved", moved.url("/old"), dir / "m"));
    RunOptions options;
    options.args = {"-c", conf};
    RunningProcess agent(quillsteadBinary(), options);
    ASSERT_TRUE(waitForRequests(moved, 1, 10s)) << agent.stderrSoFar();
    ASSERT_TRUE(waitForLine(agent, "[moved] unchanged", 5s)) << agent.stderrSoFar();

    // site's key is missing, headless lost its url, gone left the file,
    // tuned polls less often (and has a key no agent knows), moved polls
    // another URL with a password in it; a new bundle's key is missing too.
    writeFile(conf, global + section("site", signed_site.url("/s"), dir / "s",
                                     "public_key = " + (dir / "missing.pub") + "\n") +
                        section("headless", "", dir / "h") +
                        section("tuned", tuned.url("/t"), dir / "t", "poll_interval = 7200\ncolour = red\n") +
                        section("moved", secret_url, dir / "m", "connect_timeout = 5\n") +
                        section("newcomer", gone.url("/n"), dir / "n",
                                "public_key = " + (dir / "missing.pub") + "\n"));
    agent.signal(SIGHUP);
    ASSERT_TRUE(waitForLine(agent, "configuration reloaded", 10s)) << agent.stderrSoFar();
    {
        const std::string log = jsonAsText(agent.stderrSoFar());
        const std::string reload =
            "info(quillstead): reloading configuration from " + conf + "\n"
            "warning(config): bundle 'headless' missing url or target_dir, skipping\n"
            "warning(config): bundle 'tuned': colour = 'red' is not a key of a bundle; ignored\n"
            "info(config): loaded config from " + conf + ": 4 bundle(s)\n"
            "error(config): [site] new settings unusable: public_key " + (dir / "missing.pub") +
            ": error.FileNotFound; keeping the previous ones\n"
            "error(config): [headless] new settings unusable: missing url; keeping the previous ones\n"
            "info(quillstead): [tuned] changed: poll_interval 3600 -> 7200\n"
            "info(quillstead): [moved] changed: url " + moved.url("/old") + " -> http://u:***@" +
            moved_url.substr(7) + ", connect_timeout (none) -> 5s\n"
            "error(config): [newcomer] settings unusable: public_key " + (dir / "missing.pub") +
            ": error.FileNotFound; bundle not added\n"
            "info(quillstead): [gone] removed\n"
            "info(quillstead): configuration reloaded: 4 bundle(s)\n";
        EXPECT_NE(log.find(reload), std::string::npos) << log;
        EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
    }

    // site and headless still run on their previous settings.
    agent.signal(SIGUSR1);
    ASSERT_TRUE(waitForRequests(signed_site, 2, 5s)) << agent.stderrSoFar();
    ASSERT_TRUE(waitForRequests(headless, 2, 5s)) << agent.stderrSoFar();
    ASSERT_TRUE(waitForRequests(moved, 2, 5s)) << agent.stderrSoFar();
    EXPECT_EQ(gone.requests().size(), 1u);
    ASSERT_TRUE(waitForLine(agent, "[moved] unchanged", 5s));
    std::this_thread::sleep_for(1500ms);  // the pass's metrics

    // Failing in status and in the metrics, after cycles that went well.
    const ProcessResult status = command(conf, {"status"});
    EXPECT_EQ(status.exit_status, 2) << status.out << status.err;
    const std::string site_row = rowOf(status.out, "site");
    EXPECT_NE(site_row.find(" failing "), std::string::npos) << status.out;
    EXPECT_TRUE(site_row.ends_with(" new settings unusable: public_key " + (dir / "missing.pub") +
                                   ": error.FileNotFound"))
        << status.out;
    EXPECT_TRUE(goodRow(rowOf(status.out, "tuned"))) << status.out;
    const ProcessResult json = command(conf, {"status", "--json"});
    EXPECT_NE(json.out.find("\"bundle\":\"site\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"settings_error\":\"new settings unusable: public_key "), std::string::npos)
        << json.out;
    {
        const std::string metrics = readFile(dir / "m.prom");
        for (const std::string line :
             {"quillstead_bundle_settings_unusable{bundle=\"site\"} 1",
              "quillstead_bundle_settings_unusable{bundle=\"headless\"} 1",
              "quillstead_bundle_settings_unusable{bundle=\"tuned\"} 0",
              "quillstead_bundle_last_success_timestamp_seconds{bundle=\"site\"} "}) {
            EXPECT_NE(metrics.find("\n" + line), std::string::npos) << line << "\n" << metrics;
        }
        EXPECT_EQ(metrics.find("bundle=\"gone\""), std::string::npos) << metrics;
    }

    // A file that does not load at all: the log stays JSON from here on.
    writeFile(conf, "[bundle.x]\nurl = http://127.0.0.1:9/\n");
    agent.signal(SIGHUP);
    ASSERT_TRUE(waitForLine(agent, "reload failed", 10s)) << agent.stderrSoFar();
    agent.signal(SIGUSR1);
    ASSERT_TRUE(waitForRequests(signed_site, 3, 5s)) << agent.stderrSoFar();

    // Settings that can be used end the failing mark.
    writeFile(conf, global + section("site", signed_site.url("/s"), dir / "s") +
                        section("headless", headless.url("/h"), dir / "h") +
                        section("tuned", tuned.url("/t"), dir / "t", "poll_interval = 7200\n") +
                        section("moved", secret_url, dir / "m", "connect_timeout = 5\n"));
    agent.signal(SIGHUP);
    ASSERT_TRUE(waitForLine(agent, "info(quillstead): reloading configuration from " + conf +
                                       "\ninfo(config): loaded config from " + conf +
                                       ": 4 bundle(s)\ninfo(quillstead): configuration reloaded",
                            10s))
        << jsonAsText(agent.stderrSoFar());
    const ProcessResult fixed = command(conf, {"status"});
    EXPECT_TRUE(goodRow(rowOf(fixed.out, "site"))) << fixed.out;
    EXPECT_EQ(fixed.out.find("new settings unusable"), std::string::npos) << fixed.out;

    agent.signal(SIGTERM);
    const ProcessResult result = agent.wait(10s);
    EXPECT_EQ(result.exit_status, 0);
    const std::string log = jsonAsText(result.err);
    EXPECT_EQ(log.find("NOT JSON"), std::string::npos) << log;
    EXPECT_NE(log.find("warning(config): bundle 'x' missing url or target_dir, skipping\n"
                       "error(config): no valid bundle definitions found\n"
                       "error(quillstead): reload failed; keeping the running configuration\n"),
              std::string::npos)
        << log;
    EXPECT_TRUE(log.ends_with("info(quillstead): shutdown complete\n")) << log;
}

}  // namespace
}  // namespace qs::test
