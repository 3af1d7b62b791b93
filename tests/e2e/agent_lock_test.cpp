// Two agents on one target directory, as two real processes against nginx:
// the one that comes second waits (a command) or skips the bundle with a
// line (the daemon), and what the first installed is neither installed nor
// announced to post_sync a second time.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "support/agent_run.hpp"
#include "support/nginx_server.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

class AgentLock : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
        std::filesystem::create_directories(dir_ / "www");
        std::filesystem::create_directories(dir_ / "src/conf");
        writeFile(dir_ / "src/conf/app.conf", "key = 1\n");
        makeTarGz(dir_ / "src", dir_ / "www/site.tar.gz");
    }

    // One bundle whose post_sync notes each run in a file, then takes
    // `hook_seconds`, which keeps the lock held that long.
    std::string config(const NginxServer& server, int hook_seconds) {
        const std::string path = dir_ / "agent.conf";
        writeFile(path, "[bundle.site]\nurl = " + server.url("/site.tar.gz") + "\ntarget_dir = " +
                            target() + "\npoll_interval = 3600\npost_sync = echo ran >> " +
                            hooks() + "; /bin/sleep " + std::to_string(hook_seconds) + "\n");
        return path;
    }
    [[nodiscard]] std::string target() const { return dir_ / "site"; }
    [[nodiscard]] std::string hooks() const { return dir_ / "hooks"; }
    [[nodiscard]] std::string lockPath() const { return target() + "/.lock"; }

    TempDir dir_;
};

// `once` beside a daemon that is running post_sync: it waits, then finds
// the daemon's install through the ETag record (a conditional request, 304)
// instead of installing the same payload again.
TEST_F(AgentLock, OnceWaitsForTheDaemonAndInstallsNothingTwice) {
    NginxServer server(dir_ / "www");
    const std::string conf = config(server, 3);
    RunningProcess daemon(quillsteadBinary(), {.args = {"-c", conf}});
    ASSERT_TRUE(daemon.waitForStderr("info(bundle): running post_sync", 15s)) << daemon.stderrSoFar();

    const ProcessResult once = runProcess(quillsteadBinary(), {.args = {"-c", conf, "once"}});
    EXPECT_EQ(once.exit_status, 0) << once.err;
    EXPECT_NE(once.err.find("info(quillstead): [site] waiting: another quillstead holds " + lockPath() +
                            "\n"),
              std::string::npos)
        << once.err;
    EXPECT_NE(once.err.find("info(quillstead): [site] unchanged\n"), std::string::npos) << once.err;
    EXPECT_EQ(once.err.find("new version"), std::string::npos) << once.err;
    daemon.signal(SIGTERM);
    const ProcessResult d = daemon.wait(10s);
    EXPECT_EQ(d.exit_status, 0) << d.err;
    EXPECT_EQ(readFile(hooks()), "ran\n");
    // The second request asked conditionally with the ETag the first
    // installed. nginx may write its log line a moment after the answer.
    std::string log = server.accessLog();
    for (int i = 0; i < 50 && log.find(" HTTP/1.1 304 ") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        log = server.accessLog();
    }
    EXPECT_NE(log.find(" HTTP/1.1 304 "), std::string::npos) << log;
}

// A daemon that finds the target held by `once` skips the bundle with a
// line and polls it later like any bundle, conditionally, since `once`
// recorded its install.
TEST_F(AgentLock, DaemonSkipsABundleAnotherHoldsAndSaysSo) {
    NginxServer server(dir_ / "www");
    const std::string conf = config(server, 3);
    RunningProcess once(quillsteadBinary(), {.args = {"-c", conf, "once"}});
    ASSERT_TRUE(once.waitForStderr("info(bundle): running post_sync", 15s)) << once.stderrSoFar();

    RunningProcess daemon(quillsteadBinary(), {.args = {"-c", conf}});
    ASSERT_TRUE(daemon.waitForStderr(
        "warning(quillstead): [site] busy: another quillstead holds " + lockPath() + "\n", 15s))
        << daemon.stderrSoFar();
    const ProcessResult first = once.wait(15s);
    EXPECT_EQ(first.exit_status, 0) << first.err;
    daemon.signal(SIGUSR1);
    ASSERT_TRUE(daemon.waitForStderr("info(quillstead): [site] unchanged\n", 15s)) << daemon.stderrSoFar();
    daemon.signal(SIGTERM);
    const ProcessResult d = daemon.wait(10s);
    EXPECT_EQ(d.exit_status, 0) << d.err;
    EXPECT_EQ(d.err.find("new version"), std::string::npos) << d.err;
    EXPECT_EQ(readFile(hooks()), "ran\n");
}

}  // namespace
}  // namespace qs::test
