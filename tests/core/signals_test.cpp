// SIGHUP and SIGUSR1 sent to the running agent.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

constexpr ScriptedServerOptions kRepeating{.repeat_last = true, .lifetime = 40s};
const std::string kNotModified = "HTTP/1.1 304 Not Modified\r\n\r\n";

std::string section(const std::string& name, const std::string& url, const std::string& dir) {
    return "[bundle." + name + "]\nurl = " + url + "\ntarget_dir = " + dir +
           "\nformat = raw\nfilename = f\nmode = direct\npoll_interval = 3600\n";
}

bool waitForRequests(const ScriptedServer& server, std::size_t count, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (server.requests().size() < count) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(Signals, ReloadAddsRemovesAndChangesBundlesAfterTheRunningFetch) {
    // keep's first answer takes a while: the reload request arrives during it.
    ScriptedServer keep({{script::request(), script::pause(1500ms),
                          script::send("HTTP/1.1 200 OK\r\nETag: \"k1\"\r\ncontent-length: 1\r\n\r\nk")},
                         script::respond(kNotModified)},
                        kRepeating);
    ScriptedServer gone({script::respond(kNotModified)}, kRepeating);
    ScriptedServer change_old({script::respond(kNotModified)}, kRepeating);
    ScriptedServer change_new({script::respond(kNotModified)}, kRepeating);
    ScriptedServer added({script::respond(kNotModified)}, kRepeating);
    ScriptedServer tuned({script::respond(kNotModified)}, kRepeating);
    TempDir dir;
    const std::string conf = dir / "q.conf";
    writeFile(conf, section("keep", keep.url("/k"), dir / "k") + section("gone", gone.url("/g"), dir / "g") +
                        section("change", change_old.url("/c"), dir / "c") +
                        section("tuned", tuned.url("/t"), dir / "t"));
    RunOptions options;
    options.args = {"-c", conf};
    RunningProcess agent(quillsteadBinary(), options);
    ASSERT_TRUE(waitForRequests(keep, 1, 10s)) << agent.stderrSoFar();

    writeFile(conf, section("keep", keep.url("/k"), dir / "k") +
                        section("change", change_new.url("/c"), dir / "c") +
                        section("added", added.url("/a"), dir / "a") +
                        section("tuned", tuned.url("/t"), dir / "t") + "poll_interval = 7200\n");
    agent.signal(SIGHUP);
    ASSERT_TRUE(agent.waitForStderr("configuration reloaded", 10s)) << agent.stderrSoFar();
    ASSERT_TRUE(waitForRequests(added, 1, 5s)) << agent.stderrSoFar();
    ASSERT_TRUE(waitForRequests(change_new, 1, 5s)) << agent.stderrSoFar();
    {
        const std::string log = agent.stderrSoFar();
        // The running pass ends first (keep installs, gone and change are
        // polled), then the reload is logged bundle by bundle, in the
        // file's order, each with what changed.
        const std::string reload =
            "info(quillstead): reloading configuration from " + conf + "\n"
            "info(config): loaded config from " + conf + ": 4 bundle(s)\n"
            "info(quillstead): [change] changed: url " + change_old.url("/c") + " -> " +
            change_new.url("/c") + "\n"
            "info(quillstead): [added] added: url=" + added.url("/a") + " dir=" + (dir / "a") + "\n"
            "info(quillstead): [tuned] changed: poll_interval 3600 -> 7200\n"
            "info(quillstead): [gone] removed\n"
            "info(quillstead): configuration reloaded: 4 bundle(s)\n";
        const auto at = log.find(reload);
        ASSERT_NE(at, std::string::npos) << log;
        const std::string before = log.substr(0, at);
        EXPECT_NE(before.find("info(quillstead): [keep] new version: k1 (1 bytes)\n"), std::string::npos);
        EXPECT_NE(before.find("info(quillstead): [gone] unchanged\n"), std::string::npos);
        EXPECT_NE(before.find("info(quillstead): [change] unchanged\n"), std::string::npos);
    }
    // keep and tuned kept their schedules: not polled again after the reload.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(keep.requests().size(), 1u);
    EXPECT_EQ(tuned.requests().size(), 1u);
    EXPECT_EQ(gone.requests().size(), 1u);
    EXPECT_EQ(change_old.requests().size(), 1u);

    // SIGUSR1: every bundle, keep's one-hour interval notwithstanding, is
    // polled at the next pass, keep with the ETag it kept.
    agent.signal(SIGUSR1);
    ASSERT_TRUE(waitForRequests(keep, 2, 3s)) << agent.stderrSoFar();
    EXPECT_NE(keep.requests()[1].bytes.find("\r\nIf-None-Match: \"k1\"\r\n"), std::string::npos)
        << keep.requests()[1].bytes;
    ASSERT_TRUE(waitForRequests(added, 2, 3s));

    // A file that does not load keeps the running configuration.
    writeFile(conf, "[global]\n[bundle.x]\nurl = http://127.0.0.1:9/\n");
    agent.signal(SIGHUP);
    ASSERT_TRUE(agent.waitForStderr("reload failed", 10s)) << agent.stderrSoFar();
    agent.signal(SIGUSR1);
    ASSERT_TRUE(waitForRequests(added, 3, 3s)) << agent.stderrSoFar();
    EXPECT_EQ(gone.requests().size(), 1u);

    agent.signal(SIGTERM);
    const auto result = agent.wait(10s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_NE(result.err.find("info(quillstead): reloading configuration from " + conf +
                              "\nwarning(config): bundle 'x' missing url or target_dir, skipping\n"
                              "error(config): no valid bundle definitions found\n"
                              "error(quillstead): reload failed; keeping the running configuration\n"),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(result.err.ends_with("info(quillstead): shutdown complete\n")) << result.err;
}

// A bundle added by a reload keeps its records in state_dir like one that
// was there at start-up: its digest record goes to state_dir, never into
// its target directory.
TEST(Signals, ABundleAddedByReloadKeepsItsRecordsInStateDir) {
    ScriptedServer first({script::respond(kNotModified)}, kRepeating);
    ScriptedServer added({script::respond("HTTP/1.1 200 OK\r\nETag: \"a1\"\r\ncontent-length: 1\r\n\r\na")},
                         kRepeating);
    TempDir dir;
    const std::string conf = dir / "q.conf";
    const std::string global = "[global]\nstate_dir = " + (dir / "state") + "\nskip_identical = yes\n";
    writeFile(conf, global + section("first", first.url("/f"), dir / "f"));
    RunOptions options;
    options.args = {"-c", conf};
    RunningProcess agent(quillsteadBinary(), options);
    ASSERT_TRUE(waitForRequests(first, 1, 10s)) << agent.stderrSoFar();
    writeFile(conf, global + section("first", first.url("/f"), dir / "f") +
                        section("added", added.url("/a"), dir / "a"));
    agent.signal(SIGHUP);
    ASSERT_TRUE(agent.waitForStderr("[added] new version: a1", 10s)) << agent.stderrSoFar();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait(10s).exit_status, 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "state/added.digest")) << agent.stderrSoFar();
    EXPECT_FALSE(std::filesystem::exists(dir / "a/.digest"));
}

// A stop during one bundle's fetch ends that fetch and the pass: the bundles
// after it are neither fetched nor reported as failed, in the daemon and in
// "once" alike.
TEST(Signals, StopDuringAFetchStartsNoOtherFetch) {
    for (const std::string_view command : {"run", "once"}) {
        SCOPED_TRACE(command);
        ScriptedServer stalled({{script::request(), script::hold()}}, kRepeating);
        ScriptedServer later({script::respond(kNotModified)}, kRepeating);
        TempDir dir;
        const std::string conf = dir / "q.conf";
        writeFile(conf, section("stalled", stalled.url("/s"), dir / "s") +
                            section("later", later.url("/l"), dir / "l") +
                            section("last", later.url("/x"), dir / "x"));
        RunOptions options;
        options.args = {"-c", conf, std::string(command)};
        RunningProcess agent(quillsteadBinary(), options);
        ASSERT_TRUE(waitForRequests(stalled, 1, 10s)) << agent.stderrSoFar();
        agent.signal(SIGTERM);
        const ProcessResult r = agent.wait(10s);
        const std::size_t stopped = r.err.find("error(quillstead): [stalled] fetch failed: interrupted\n");
        ASSERT_NE(stopped, std::string::npos) << r.err;
        // The start-up listing names every bundle; nothing after the stop does.
        EXPECT_EQ(r.err.find("[later]", stopped), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("[last]", stopped), std::string::npos) << r.err;
        EXPECT_EQ(later.requests().size(), 0u);
        EXPECT_EQ(r.exit_status, command == "run" ? 0 : 2) << r.err;
    }
}

}  // namespace
}  // namespace qs::test
