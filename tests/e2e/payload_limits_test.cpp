// The built agent against hostile payloads from a scripted loopback server:
// bodies larger than max_payload_bytes (announced, chunked, or growing under
// the content coding) end the fetch early, and archive bombs made at test
// time stop at max_unpacked_bytes or max_entries.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>

#include "support/agent_run.hpp"
#include "support/archive.hpp"
#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/signing.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string okHead(std::string_view etag, std::string_view fields) {
    return "HTTP/1.1 200 OK\r\nETag: \"" + std::string(etag) + "\"\r\nConnection: close\r\n" +
           std::string(fields) + "\r\n";
}

std::string okResponse(std::string_view etag, const std::string& body,
                       std::string_view fields = "") {
    return okHead(etag, std::string(fields) + "Content-Length: " + std::to_string(body.size()) +
                            "\r\n") +
           body;
}

std::string chunk(std::string_view data) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + std::string(data) + "\r\n";
}

// Runs the agent on `config` until `line` shows; stops it and returns what
// it printed and how long the line took.
struct AgentRun {
    ProcessResult result;
    Clock::duration until_line{};
};
AgentRun runUntil(const std::string& config, const std::string& line) {
    const auto start = Clock::now();
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    AgentRun run;
    EXPECT_TRUE(agent.waitForStderr(line, 30s)) << agent.stderrSoFar();
    run.until_line = Clock::now() - start;
    agent.signal(SIGTERM);
    run.result = agent.wait(10s);
    return run;
}

std::string bundleConfig(const std::string& url, const std::string& target,
                         const std::string& extra) {
    return "[bundle.b]\nurl = " + url + "\ntarget_dir = " + target + "\npoll_interval = 3600\n" +
           extra;
}

std::string makeBomb(const TempDir& dir, std::string_view kind, std::uint64_t amount) {
    const std::string out = dir / (std::string(kind) + ".tar.gz");
    runTool({"python3", sourceDir() + "/tests/support/make_bomb.py", std::string(kind),
             std::to_string(amount), out});
    return readFile(out);
}

// Each body passes the limit early and then stalls: the agent has to stop
// reading on its own, long before the server would let go.
TEST(PayloadLimit, BodiesOverTheLimitEndTheFetchEarly) {
    constexpr std::uint64_t kLimit = 64 * 1024;
    const std::string over(kLimit + 1, 'x');
    struct Case {
        std::string name;
        std::string response;
    };
    const std::vector<Case> cases = {
        {"announced by content-length",
         okHead("1", "Content-Length: 100000000\r\n") + "only the start"},
        {"chunked", okHead("1", "Transfer-Encoding: chunked\r\n") + chunk(over.substr(0, 40000)) +
                        chunk(over.substr(40000))},
        // Small on the wire, over the limit once decoded.
        {"gzip content coding",
         okHead("1", "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n") +
             chunk(gzip(std::string(4 * kLimit, '\0')))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ScriptedServer server({{script::request(), script::send(c.response), script::hold()}},
                              {.lifetime = 30s});
        writeFile(dir / "agent.conf",
                  bundleConfig(server.url("/b.tar.gz"), dir / "target",
                               "max_payload_bytes = " + std::to_string(kLimit) + "\n"));
        const AgentRun run = runUntil(dir / "agent.conf",
                                 "error(quillstead): [b] fetch failed: payload over " +
                                     std::to_string(kLimit) + " bytes\n");
        EXPECT_LT(run.until_line, 20s);
        EXPECT_EQ(run.result.err.find("new version"), std::string::npos) << run.result.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "target"));
    }
}

// A payload exactly at the limit is still accepted.
TEST(PayloadLimit, BodyAtTheLimitInstalls) {
    TempDir dir;
    const std::string archive = makeTarGz({fileEntry("a.txt", "alpha\n")});
    ScriptedServer server({script::respond(okResponse("1", archive))});
    writeFile(dir / "agent.conf",
              bundleConfig(server.url("/b.tar.gz"), dir / "target",
                           "max_payload_bytes = " + std::to_string(archive.size()) + "\n"));
    runUntil(dir / "agent.conf", "info(bundle): current -> v1");
    EXPECT_EQ(readFile(dir / "target/current/a.txt"), "alpha\n");
}

// A gzip stream of 10 GiB of zeros in one entry, itself sent gzip-coded, so
// the body is tens of kilobytes: the versioned install stops at the entry's
// header, the new version directory goes and `current` stays.
TEST(UnpackLimit, ZeroBombStopsAtItsHeaderAndKeepsTheCurrentVersion) {
    TempDir dir;
    const std::string bomb = makeBomb(dir, "zeros", std::uint64_t{10} << 30);
    const std::string wire = gzip(bomb);
    const std::string target = dir / "target";
    const std::string limits = "max_unpacked_bytes = 1_000_000\n";
    {
        ScriptedServer first({script::respond(okResponse("1", makeTarGz({fileEntry("a", "1\n")})))});
        writeFile(dir / "agent.conf", bundleConfig(first.url("/b.tar.gz"), target, limits));
        runUntil(dir / "agent.conf", "info(bundle): current -> v1");
    }
    ScriptedServer server(
        {script::respond(okResponse("2", wire, "Content-Encoding: gzip\r\n"))});
    writeFile(dir / "agent.conf", bundleConfig(server.url("/b.tar.gz"), target, limits));
    const AgentRun run = runUntil(dir / "agent.conf", "[b] bundle apply failed: ");
    std::printf("wire %zu bytes, archive %zu bytes, stopped after %lld ms from start\n",
                wire.size(), bomb.size(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(run.until_line).count()));
    EXPECT_LT(run.until_line, 20s);
    EXPECT_NE(run.result.err.find("error(bundle): archive unpacks to more than 1000000 bytes "
                                  "(max_unpacked_bytes); extraction stopped at zeros\n"
                                  "error(quillstead): [b] bundle apply failed: "
                                  "error.ArchiveTooLarge\n"),
              std::string::npos)
        << run.result.err;
    EXPECT_EQ(linkTarget(target + "/current"), "v1");
    EXPECT_EQ(listDir(target), (std::vector<std::string>{".etag", "current", "v1"}));
    EXPECT_EQ(readFile(target + "/.etag"), "\"1\"");
}

// A million empty files in direct mode: extraction stops at max_entries,
// nothing reaches target_dir, the line says so, and the ETag is not
// recorded.
TEST(UnpackLimit, EntryBombStopsAtMaxEntriesInDirectMode) {
    TempDir dir;
    const std::string bomb = makeBomb(dir, "entries", 1'000'000);
    ScriptedServer server({script::respond(okResponse("2", bomb))});
    const std::string target = dir / "target";
    writeFile(dir / "agent.conf", bundleConfig(server.url("/b.tar.gz"), target,
                                               "mode = direct\nmax_entries = 1000\n"));
    const AgentRun run = runUntil(dir / "agent.conf", "[b] bundle apply failed: ");
    EXPECT_LT(run.until_line, 20s);
    EXPECT_NE(run.result.err.find("error(bundle): archive has more than 1000 entries "
                                  "(max_entries); extraction stopped at e0001000\n"
                                  "error(bundle): " + target +
                                  " left as it was: nothing was moved into it (direct mode)\n"
                                  "error(quillstead): [b] bundle apply failed: "
                                  "error.ArchiveTooManyEntries\n"),
              std::string::npos)
        << run.result.err;
    EXPECT_EQ(listDir(target), std::vector<std::string>{});
}

}  // namespace
}  // namespace qs::test
