// The built agent against nginx on 127.0.0.1: first install, restart with
// the cached ETag (304), a changed bundle replacing the old version, raw and
// direct modes, gzip content coding, and https with a CA the test makes.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>

#include "support/agent_run.hpp"
#include "support/certificates.hpp"
#include "support/nginx_server.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

class AgentNginx : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
        std::filesystem::create_directories(dir_ / "www");
        std::filesystem::create_directories(dir_ / "src");
        std::filesystem::create_directories(dir_ / "src/conf");
        writeFile(dir_ / "src/index.html", "<p>first</p>\n");
        writeFile(dir_ / "src/conf/app.conf", "key = 1\n");
        makeTarGz(dir_ / "src", dir_ / "www/site.tar.gz");
    }

    // Publishes new contents and moves the archive's mtime on, so nginx's
    // ETag (mtime and size) changes even within the same second.
    void republish(const std::string& index, int seconds_ahead) {
        writeFile(dir_ / "src/index.html", index);
        makeTarGz(dir_ / "src", dir_ / "www/site.tar.gz");
        setTimesAhead(dir_ / "www/site.tar.gz", seconds_ahead);
    }

    std::string writeConfig(const std::string& body) {
        const std::string path = dir_ / "agent.conf";
        writeFile(path, body);
        return path;
    }

    static ProcessResult stop(RunningProcess& agent) {
        agent.signal(SIGTERM);
        return agent.wait(10s);
    }

    TempDir dir_;
};

TEST_F(AgentNginx, InstallsThenRestartSendsCachedEtagAndGets304) {
    NginxServer server(dir_ / "www");
    const std::string target = dir_ / "site";
    const std::string config = writeConfig("[bundle.site]\nurl = " + server.url("/site.tar.gz") +
                                           "\ntarget_dir = " + target +
                                           "\npoll_interval = 3600\npost_sync = echo hook-ran\n");
    {
        RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
        ASSERT_TRUE(agent.waitForStderr("info(bundle): current -> v", 15s)) << agent.stderrSoFar();
        ASSERT_TRUE(waitForFile(target + "/.etag", "")) << agent.stderrSoFar();
        const ProcessResult result = stop(agent);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_NE(result.err.find("info(quillstead): [site] new version: "), std::string::npos);
        EXPECT_NE(result.err.find("info(bundle): post_sync completed successfully"), std::string::npos)
            << result.err;
        EXPECT_NE(result.out.find("hook-ran"), std::string::npos);
    }
    const std::string etag = readFile(target + "/.etag");
    ASSERT_GE(etag.size(), 2u);
    EXPECT_EQ(etag.front(), '"');
    // nginx's strong ETag without its quotes names the version directory.
    const std::string version = "v" + etag.substr(1, etag.size() - 2);
    EXPECT_EQ(linkTarget(target + "/current"), version);
    EXPECT_EQ(readFile(target + "/current/index.html"), "<p>first</p>\n");
    EXPECT_EQ(readFile(target + "/current/conf/app.conf"), "key = 1\n");
    EXPECT_EQ(listDir(target), (std::vector<std::string>{".etag", "current", version}));

    RunningProcess again(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(again.waitForStderr("info(quillstead): [site] unchanged", 15s)) << again.stderrSoFar();
    const ProcessResult second = stop(again);
    EXPECT_NE(second.err.find("info(quillstead):   [site] cached etag: " + etag + "\n"),
              std::string::npos);
    EXPECT_NE(second.err.find("info(http): 304 Not Modified\n"), std::string::npos);
    EXPECT_NE(server.accessLog().find("GET /site.tar.gz HTTP/1.1 304 0 \"" + etag + "\""),
              std::string::npos)
        << server.accessLog();
    EXPECT_EQ(linkTarget(target + "/current"), version);
}

TEST_F(AgentNginx, ChangedBundleInstallsNewVersionAndRemovesOld) {
    NginxServer server(dir_ / "www");
    const std::string target = dir_ / "site";
    const std::string config = writeConfig("[bundle.site]\nurl = " + server.url("/site.tar.gz") +
                                           "\ntarget_dir = " + target + "\npoll_interval = 1\n");
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(agent.waitForStderr("info(bundle): current -> v", 15s)) << agent.stderrSoFar();
    ASSERT_TRUE(agent.waitForStderr("[site] unchanged", 15s)) << agent.stderrSoFar();
    const std::string first = linkTarget(target + "/current");

    republish("<p>second</p>\n", 5);
    ASSERT_TRUE(agent.waitForStderr("info(bundle): removed old dir: " + first, 15s))
        << agent.stderrSoFar();
    const ProcessResult result = stop(agent);
    EXPECT_EQ(result.exit_status, 0);
    const std::string second = linkTarget(target + "/current");
    EXPECT_NE(second, first);
    EXPECT_EQ(readFile(target + "/current/index.html"), "<p>second</p>\n");
    EXPECT_EQ(listDir(target), (std::vector<std::string>{".etag", "current", second}));
}

TEST_F(AgentNginx, StopSignalWhileTheHookRunsLetsTheCycleFinish) {
    NginxServer server(dir_ / "www");
    const std::string target = dir_ / "site";
    const std::string marker = dir_ / "hook-finished";
    const std::string config = writeConfig("[bundle.site]\nurl = " + server.url("/site.tar.gz") +
                                           "\ntarget_dir = " + target +
                                           "\npoll_interval = 3600\npost_sync = /bin/sleep 1; echo done > " +
                                           marker + "\n");
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(agent.waitForStderr("info(bundle): running post_sync: ", 15s)) << agent.stderrSoFar();
    // The hook is a child of the agent; the signal goes to the agent alone.
    agent.signal(SIGTERM);
    const ProcessResult result = agent.wait(15s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(readFile(marker), "done\n");
    // The cycle ran to its end: hook outcome and ETag record, then shutdown.
    const std::size_t hook_end = result.err.find(
        "info(bundle): post_sync completed successfully\n"
        "info(quillstead): [site] installed version ");
    EXPECT_TRUE(hook_end != std::string::npos &&
                result.err.find('\n', hook_end + 50) + 1 ==
                    result.err.size() - std::string_view("info(quillstead): shutdown complete\n").size() &&
                result.err.ends_with("\ninfo(quillstead): shutdown complete\n"))
        << result.err;
    EXPECT_FALSE(readFile(target + "/.etag").empty());
}

TEST_F(AgentNginx, RawAndDirectModes) {
    writeFile(dir_ / "www/motd.txt", "welcome\n");
    NginxServer server(dir_ / "www");
    const std::string raw_dir = dir_ / "motd";
    const std::string direct_dir = dir_ / "direct";
    const std::string config = writeConfig(
        "[bundle.motd]\nurl = " + server.url("/motd.txt") + "\ntarget_dir = " + raw_dir +
        "\nformat = raw\nfilename = motd\npoll_interval = 3600\n"
        "[bundle.flat]\nurl = " + server.url("/site.tar.gz") + "\ntarget_dir = " + direct_dir +
        "\nmode = direct\npoll_interval = 3600\n");
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(agent.waitForStderr("(direct)", 15s)) << agent.stderrSoFar();
    ASSERT_TRUE(waitForFile(direct_dir + "/.etag", ""));
    const ProcessResult result = stop(agent);
    EXPECT_NE(result.err.find("info(bundle): wrote 8 bytes to " + raw_dir + "/motd (raw)"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(readFile(raw_dir + "/motd"), "welcome\n");
    EXPECT_EQ(readFile(direct_dir + "/index.html"), "<p>first</p>\n");
    EXPECT_EQ(readFile(direct_dir + "/conf/app.conf"), "key = 1\n");
    EXPECT_TRUE(linkTarget(direct_dir + "/current").empty());
}

TEST_F(AgentNginx, GzipContentCodingIsDecoded) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + " of a compressible file\n";
    writeFile(dir_ / "www/big.txt", text);
    NginxServer server(dir_ / "www", {.gzip = true});
    const std::string target = dir_ / "raw";
    const std::string config =
        writeConfig("[bundle.big]\nurl = " + server.url("/big.txt") + "\ntarget_dir = " + target +
                    "\nformat = raw\nfilename = big.txt\npoll_interval = 3600\n");
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(agent.waitForStderr("(raw)", 15s)) << agent.stderrSoFar();
    ASSERT_TRUE(waitForFile(target + "/.etag", ""));
    const ProcessResult result = stop(agent);
    EXPECT_EQ(readFile(target + "/big.txt"), text);
    // nginx weakens the ETag of a compressed response; it is kept as sent.
    EXPECT_EQ(readFile(target + "/.etag").substr(0, 3), "W/\"");
    EXPECT_NE(result.err.find("info(http): 200 OK, " + std::to_string(text.size()) + " bytes, etag=W/\""),
              std::string::npos)
        << result.err;
}

TEST_F(AgentNginx, HttpsWithGeneratedCertificateAuthority) {
    if (!canUsePrivateMounts()) GTEST_SKIP() << "needs root and unshare -m";
    TempDir pki_dir;
    const TestPki pki = makeTestPki(pki_dir.str());
    TempDir ca_dir;
    shell("cp '" + pki.ca_certificate + "' '" + ca_dir.str() + "/test-ca.pem'");
    NginxServer server(dir_ / "www",
                       {.certificate_file = pki.server_chain, .key_file = pki.server_key});
    const std::string target = dir_ / "site";
    const std::string config = writeConfig("[bundle.site]\nurl = " + server.url("/site.tar.gz") +
                                           "\ntarget_dir = " + target + "\npoll_interval = 1\n");
    RunningProcess agent(unshareProgram(), agentWithCertificates(ca_dir.str(), config));
    ASSERT_TRUE(agent.waitForStderr("info(bundle): current -> v", 20s)) << agent.stderrSoFar();
    ASSERT_TRUE(agent.waitForStderr("[site] unchanged", 15s)) << agent.stderrSoFar();
    const ProcessResult result = stop(agent);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(readFile(target + "/current/index.html"), "<p>first</p>\n");

    // The same server is refused when the agent trusts only another CA.
    TempDir other_pki_dir;
    const TestPki other = makeTestPki(other_pki_dir.str());
    TempDir other_ca_dir;
    shell("cp '" + other.ca_certificate + "' '" + other_ca_dir.str() + "/other-ca.pem'");
    RunningProcess refused(unshareProgram(), agentWithCertificates(other_ca_dir.str(), config));
    // Both CAs bear the same name, so the store finds a root for the chain
    // whose signature then fails: not a cause the line names.
    ASSERT_TRUE(refused.waitForStderr("fetch failed: connection failed", 20s)) << refused.stderrSoFar();
    const ProcessResult refused_result = stop(refused);
    EXPECT_NE(refused_result.err.find("error(http): HTTP request failed for " + server.url("/site.tar.gz") +
                                      ": error.TlsInitializationFailed"),
              std::string::npos)
        << refused_result.err;
}

}  // namespace
}  // namespace qs::test
