// The built agent against servers that stall: time limits end each stalled
// fetch with its own line, the rest of the pass goes on, and a stop signal
// ends any network wait at once without installing anything.

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_run.hpp"
#include "support/archive.hpp"
#include "support/certificates.hpp"
#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/signing.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Scheduling on a shared machine: how late a line may come after its limit.
constexpr auto kSlack = 1500ms;

std::string headAnnouncing(std::size_t length) {
    return "HTTP/1.1 200 OK\r\ncontent-length: " + std::to_string(length) +
           "\r\netag: \"never\"\r\n\r\n";
}

std::string bundleSection(const TempDir& dir, const std::string& name, const std::string& url,
                          const std::string& keys) {
    return "[bundle." + name + "]\nurl = " + url + "\ntarget_dir = " + (dir / name) +
           "\npoll_interval = 3600\n" + keys;
}

// When each of `lines` first showed up on the agent's standard error.
std::map<std::string, Clock::time_point> watchLines(RunningProcess& agent,
                                                    const std::vector<std::string>& lines,
                                                    std::chrono::milliseconds limit) {
    std::map<std::string, Clock::time_point> seen;
    const auto give_up = Clock::now() + limit;
    while (seen.size() < lines.size() && Clock::now() < give_up) {
        const std::string& text = agent.stderrSoFar();
        for (const std::string& line : lines)
            if (!seen.contains(line) && text.find(line + "\n") != std::string::npos)
                seen[line] = Clock::now();
        std::this_thread::sleep_for(10ms);
    }
    return seen;
}

// One agent, one pass: each stalled bundle is followed by a bundle on a
// healthy server. Each stall must end with its cause and "timed out" no
// sooner than its limit and not much later, and the healthy bundle behind it
// must still be polled in the same pass.
TEST(AgentDeadlines, EachStallEndsAtItsLimitAndThePassGoesOn) {
    TempDir dir;
    ScriptedServer healthy({script::respond("HTTP/1.1 304 Not Modified\r\n\r\n")},
                           {.repeat_last = true, .lifetime = 30s});

    std::vector<ConnectionScript> drip{{script::request(), script::send(headAnnouncing(100))}};
    for (int i = 0; i < 20; ++i) {
        drip.front().push_back(script::send("x"));
        drip.front().push_back(script::pause(1s));
    }
    struct Case {
        std::string name;
        ConnectionScript script;
        std::string scheme;
        std::string keys;
        std::string cause;  // the line before the summary; "{url}" stands for the URL
        std::chrono::milliseconds limit;
    };
    const std::vector<Case> cases = {
        {"silent", {script::hold()}, "http", "io_timeout = 1\n",
         "error(http): HTTP receive failed: error.TimedOut", 1s},
        {"headonly",
         {script::request(), script::send(headAnnouncing(100) + "partial"), script::hold()},
         "http", "io_timeout = 1\nmax_fetch_time = 60\n",
         "error(http): failed to read response body: error.TimedOut", 1s},
        // Every single wait is short; only the limit on the whole fetch ends it.
        {"drip", drip.front(), "http", "io_timeout = 5\nmax_fetch_time = 3\n",
         "error(http): failed to read response body: error.TimedOut", 3s},
        {"handshake", {script::hold()}, "https", "connect_timeout = 1\nio_timeout = 30\n",
         "error(http): HTTP request failed for {url}: error.TimedOut", 1s},
    };

    std::vector<std::unique_ptr<ScriptedServer>> servers;
    // A [global] default reaches every bundle, beside the bundle's own keys.
    std::string config = "[global]\nhook_timeout = 7\n";
    std::vector<std::string> watched;
    std::vector<std::string> urls;
    for (const Case& c : cases) {
        servers.push_back(std::make_unique<ScriptedServer>(std::vector<ConnectionScript>{c.script},
                                                           ScriptedServerOptions{.lifetime = 30s}));
        std::string url = servers.back()->url("/b.tar.gz");
        if (c.scheme == "https") url.replace(0, 4, "https");
        urls.push_back(url);
        config += bundleSection(dir, c.name, url, c.keys);
        config += bundleSection(dir, c.name + "_next", healthy.url("/ok"), "");
        watched.push_back("error(quillstead): [" + c.name + "] fetch failed: timed out");
        watched.push_back("info(quillstead): [" + c.name + "_next] unchanged");
    }
    writeFile(dir / "agent.conf", config);

    const auto started = Clock::now();
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", dir / "agent.conf"}});
    const auto seen = watchLines(agent, watched, 30s);
    agent.signal(SIGTERM);
    const ProcessResult result = agent.wait(10s);
    EXPECT_EQ(result.exit_status, 0);

    EXPECT_NE(result.err.find("info(quillstead):   [silent] limits: io_timeout=1s hook_timeout=7s\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("info(quillstead):   [silent_next] limits: hook_timeout=7s\n"),
              std::string::npos);

    auto previous_end = started;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        std::string cause = c.cause;
        if (const auto at = cause.find("{url}"); at != std::string::npos)
            cause.replace(at, 5, urls[i]);
        EXPECT_NE(result.err.find(cause + "\n" + watched[2 * i] + "\n"), std::string::npos)
            << result.err;
        ASSERT_TRUE(seen.contains(watched[2 * i])) << result.err;
        ASSERT_TRUE(seen.contains(watched[2 * i + 1])) << result.err;
        const auto took = seen.at(watched[2 * i]) - previous_end;
        EXPECT_GE(took, c.limit - 100ms);
        EXPECT_LE(took, c.limit + kSlack);
        EXPECT_FALSE(std::filesystem::exists(dir / c.name));
        previous_end = seen.at(watched[2 * i + 1]);
    }
}

// With no limits at all, SIGTERM during a stalled fetch ends the agent at
// once: the cycle fails as interrupted, nothing is installed, the ETag
// record stays as it was, and the agent exits 0.
TEST(AgentDeadlines, StopSignalEndsAStalledFetch) {
    struct Case {
        std::string name;
        ConnectionScript script;
        std::string scheme;
        std::string cause;  // "{url}" stands for the URL
    };
    const std::vector<Case> cases = {
        {"during the TLS handshake", {script::hold()}, "https",
         "error(http): HTTP request failed for {url}: error.Interrupted"},
        {"waiting for the head", {script::request(), script::hold()}, "http",
         "error(http): HTTP receive failed: error.Interrupted"},
        {"in the body",
         {script::request(), script::send(headAnnouncing(1000) + "some"), script::hold()}, "http",
         "error(http): failed to read response body: error.Interrupted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ScriptedServer server({c.script}, {.lifetime = 30s});
        std::string url = server.url("/b.tar.gz");
        if (c.scheme == "https") url.replace(0, 4, "https");
        std::filesystem::create_directory(dir / "site");
        const std::string record = "\"installed-before\"";
        writeFile(dir / "site/.etag", record);
        writeFile(dir / "agent.conf", bundleSection(dir, "site", url, ""));

        RunningProcess agent(quillsteadBinary(), {.args = {"-c", dir / "agent.conf"}});
        const auto give_up = Clock::now() + 10s;
        const bool needs_request = c.script.front().kind == ScriptStep::Kind::request;
        while ((needs_request ? server.requests().size() : server.connectionsAccepted()) == 0 &&
               Clock::now() < give_up)
            std::this_thread::sleep_for(10ms);
        // Into the wait itself.
        std::this_thread::sleep_for(300ms);
        const auto signalled = Clock::now();
        agent.signal(SIGTERM);
        const ProcessResult result = agent.wait(10s);
        EXPECT_LE(Clock::now() - signalled, 2s);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.exit_status, 0);

        std::string cause = c.cause;
        if (const auto at = cause.find("{url}"); at != std::string::npos) cause.replace(at, 5, url);
        EXPECT_NE(result.err.find(cause + "\nerror(quillstead): [site] fetch failed: interrupted\n"
                                          "info(quillstead): shutdown complete\n"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(readFile(dir / "site/.etag"), record);
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "site"))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{".etag", ".lock"}));
    }
}

// The signature is fetched with the payload's limits: a signature URL that
// never answers, or answers a byte a second, fails that bundle's cycle at
// the limit, over http and over https, and the pass goes on.
TEST(AgentDeadlines, SignatureFetchKeepsTheBundlesLimits) {
    TempDir dir;
    const std::string payload = makeTarGz({fileEntry("index.html", "signed\n")});
    writeFile(dir / "site.tar.gz", payload);
    const SigningKey key = makeSigningKey(dir.str(), "publisher", SigningKind::p256);
    signFile(key, dir / "site.tar.gz");
    ScriptedServer origin({script::respond("HTTP/1.1 200 OK\r\netag: \"s1\"\r\ncontent-length: " +
                                           std::to_string(payload.size()) + "\r\n\r\n" + payload)},
                          {.repeat_last = true, .lifetime = 60s});
    ScriptedServer healthy({script::respond("HTTP/1.1 304 Not Modified\r\n\r\n")},
                           {.repeat_last = true, .lifetime = 60s});

    ConnectionScript drip{script::request(), script::send(headAnnouncing(100))};
    for (int i = 0; i < 50; ++i) {
        drip.push_back(script::send("x"));
        drip.push_back(script::pause(1s));
    }
    const ConnectionScript silent{script::request(), script::hold()};
    const bool tls = canUsePrivateMounts();
    const Certificate leaf = leafFor({"localhost"});
    struct Case {
        std::string name;
        ConnectionScript script;
        bool https;
    };
    std::vector<Case> cases = {{"silent", silent, false}, {"drip", drip, false}};
    if (tls) {
        cases.push_back({"silent_tls", silent, true});
        cases.push_back({"drip_tls", drip, true});
    }
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    std::string config;
    std::vector<std::string> watched;
    for (const Case& c : cases) {
        ScriptedServerOptions options{.lifetime = 60s};
        if (c.https) options.tls_chain = {leaf, pki().intermediate};
        servers.push_back(std::make_unique<ScriptedServer>(std::vector<ConnectionScript>{c.script}, options));
        config += bundleSection(dir, c.name, origin.url("/site.tar.gz"),
                                "public_key = " + key.public_path + "\nsignature_url = " +
                                    servers.back()->url("/site.tar.gz.sig", "localhost") +
                                    "\nio_timeout = 2\nmax_fetch_time = 3\n");
        config += bundleSection(dir, c.name + "_next", healthy.url("/ok"), "");
        watched.push_back("error(quillstead): [" + c.name +
                          "] signature check failed: signature fetch failed: timed out");
        watched.push_back("info(quillstead): [" + c.name + "_next] unchanged");
    }
    writeFile(dir / "agent.conf", config);
    RunOptions options;
    std::string program = quillsteadBinary();
    if (tls) {
        std::filesystem::create_directory(dir / "ca");
        writeFile(dir / "ca/test-root.pem", pki().root.pem());
        options = agentWithCertificates(dir / "ca", dir / "agent.conf", {}, {"once"});
        program = unshareProgram();
    } else {
        options.args = {"-c", dir / "agent.conf", "once"};
    }
    // Without the limits the first stalled signature holds the pass until
    // its server gives up, long after this.
    options.timeout = 40s;
    const ProcessResult result = runProcess(program, options);
    EXPECT_EQ(result.exit_status, 2) << result.err;
    for (const std::string& line : watched) {
        EXPECT_NE(result.err.find(line + "\n"), std::string::npos) << line << "\n" << result.err;
    }
    for (const Case& c : cases) EXPECT_FALSE(std::filesystem::exists(dir / (c.name + "/current"))) << c.name;
}

}  // namespace
}  // namespace qs::test
