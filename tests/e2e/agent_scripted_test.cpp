// The built agent against a scripted loopback server, for the answers a real
// web server will not give on request: redirect chains, odd statuses, bodies
// cut short, unsupported codings, missing ETags, hostile archives; plus the
// exact request head the agent sends and failures before any answer.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "http/request.hpp"
#include "support/agent_run.hpp"
#include "support/archive.hpp"
#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

// Servers outlive the agent runs they serve by a margin, and never the suite.
constexpr ScriptedServerOptions kRepeating{.repeat_last = true, .lifetime = 20s};

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The lines directly before each occurrence of `line`.
std::vector<std::string> linesBefore(const std::string& text, const std::string& line) {
    const auto lines = linesOf(text);
    std::vector<std::string> before;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == line) before.push_back(i == 0 ? std::string() : lines[i - 1]);
    return before;
}

bool waitForCount(RunningProcess& agent, const std::string& text, std::size_t count,
                  std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (countOf(agent.stderrSoFar(), text) < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::string response(std::string_view status_line, std::string_view headers, std::string_view body) {
    return std::string(status_line) + "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n" +
           std::string(headers) + "\r\n" + std::string(body);
}

std::string redirect(std::string_view location) {
    return "HTTP/1.1 302 Found\r\nlocation: " + std::string(location) + "\r\ncontent-length: 0\r\n\r\n";
}

// The head a request of the agent starts with, up to its extra headers.
std::string standardHead(std::string_view target, std::uint16_t port, std::string_view basic = {}) {
    std::string head = "GET " + std::string(target) + " HTTP/1.1\r\nhost: 127.0.0.1:" +
                       std::to_string(port) + "\r\n";
    if (!basic.empty()) head += "authorization: Basic " + std::string(basic) + "\r\n";
    head += "user-agent: " + std::string(kClientUserAgent) +
            "\r\nconnection: keep-alive\r\naccept-encoding: gzip, deflate\r\n";
    return head;
}

class AgentScripted : public ::testing::Test {
protected:
    std::string writeConfig(const std::string& body) {
        const std::string path = dir_ / "agent.conf";
        writeFile(path, body);
        return path;
    }

    // One bundle section; `extra` holds further key lines.
    std::string bundle(const std::string& name, const std::string& url, const std::string& extra = {},
                       const std::string& poll = "1") const {
        return "[bundle." + name + "]\nurl = " + url + "\ntarget_dir = " + (dir_ / name) +
               "\npoll_interval = " + poll + "\n" + extra;
    }

    static ProcessResult stop(RunningProcess& agent) {
        agent.signal(SIGTERM);
        return agent.wait(10s);
    }

    static std::string siteArchive(const std::string& text) {
        return makeTarGz({dirEntry("conf/"), fileEntry("conf/app.conf", text)});
    }

    TempDir dir_;
};

// Every way a fetch can fail, one bundle each in one agent: the cause line,
// directly followed by the summary line, in every poll; nothing installed.
TEST_F(AgentScripted, EachFetchFailureLogsCauseAndReasonAndPollsAgain) {
    const std::string archive = siteArchive("never installed\n");
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    const auto serve = [&](ConnectionScript script) -> const ScriptedServer& {
        servers.push_back(std::make_unique<ScriptedServer>(
            std::vector<ConnectionScript>{std::move(script)}, kRepeating));
        return *servers.back();
    };

    std::uint16_t closed_port = 0;
    {
        ScriptedServer gone(std::vector<ConnectionScript>{});
        closed_port = gone.port();
    }

    struct Case {
        std::string name;
        std::string url;
        std::vector<std::string> cause;  // any of these lines, "{url}" standing for the URL
        std::string reason;
    };
    const ScriptedServer& hops =
        serve({script::request(), script::send(redirect("/hop1")), script::request(),
               script::send(redirect("http://127.0.0.1:{port}/hop2")), script::request(),
               script::send(redirect("/hop3")), script::request(), script::send(redirect("/hop4"))});
    const std::vector<Case> cases = {
        {"fourhops", hops.url("/bundle.tar.gz"),
         {"error(http): HTTP receive failed: error.TooManyHttpRedirects"},
         "receive failed"},
        {"nocontent", serve(script::respond("HTTP/1.1 204 No Content\r\netag: \"n\"\r\n\r\n")).url("/b"),
         {"error(http): HTTP 204 for {url}"},
         "HTTP 204"},
        {"servererror",
         serve(script::respond(response("HTTP/1.1 500 Internal Server Error", "etag: \"s\"\r\n", "oops")))
             .url("/b"),
         {"error(http): HTTP 500 for {url}"},
         "HTTP 500"},
        {"cutshort",
         serve(script::respond("HTTP/1.1 200 OK\r\netag: \"c\"\r\ncontent-length: " +
                               std::to_string(archive.size()) + "\r\n\r\n" +
                               archive.substr(0, archive.size() / 2)))
             .url("/b"),
         {"error(http): failed to read response body: error.ReadFailed"},
         "body read failed"},
        {"headonly",
         serve(script::respond("HTTP/1.1 200 OK\r\netag: \"h\"\r\ncontent-length: 100\r\n\r\n")).url("/b"),
         {"error(http): failed to read response body: error.ReadFailed"},
         "body read failed"},
        {"zstd",
         serve(script::respond(response("HTTP/1.1 200 OK", "content-encoding: zstd\r\n", "zzzz")))
             .url("/b"),
         {"error(http): HTTP receive failed: error.HttpContentEncodingUnsupported"},
         "receive failed"},
        // A bare LF inside a value would otherwise reach the log, the ETag
        // record and the next request's If-None-Match.
        {"linefeed",
         serve(script::respond(response("HTTP/1.1 200 OK",
                                        "etag: \"a\"\nerror(quillstead): [linefeed] forged\r\n", "hi")))
             .url("/b"),
         {"error(http): HTTP receive failed: error.HttpHeadersInvalid"},
         "receive failed"},
        {"silent", serve({script::request()}).url("/b"),
         {"error(http): HTTP receive failed: error.HttpConnectionClosing"},
         "receive failed"},
        {"badurl", "http://[::1/bundle.tar.gz", {"error(http): invalid URL: {url}"}, "invalid URL"},
        {"nohost",
         "http://quillstead-test.invalid/bundle.tar.gz",
         {"error(http): HTTP request failed for {url}: error.UnknownHostName",
          "error(http): HTTP request failed for {url}: error.TemporaryNameServerFailure"},
         "connection failed"},
        {"refused",
         "http://127.0.0.1:" + std::to_string(closed_port) + "/bundle.tar.gz",
         {"error(http): HTTP request failed for {url}: error.ConnectionRefused"},
         "connection refused by 127.0.0.1:" + std::to_string(closed_port)},
    };

    std::string config;
    for (const Case& c : cases) config += bundle(c.name, c.url);
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", writeConfig(config)}});
    // Two failures of the last bundle mean every bundle was polled twice.
    const std::string last = "error(quillstead): [" + cases.back().name + "] fetch failed: ";
    ASSERT_TRUE(waitForCount(agent, last, 2, 15s)) << agent.stderrSoFar();
    const ProcessResult result = stop(agent);
    EXPECT_EQ(result.exit_status, 0) << result.err;

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = linesBefore(
            result.err, "error(quillstead): [" + c.name + "] fetch failed: " + c.reason);
        EXPECT_GE(before.size(), 2u) << result.err;
        for (const std::string& line : before) {
            const bool expected = std::ranges::any_of(c.cause, [&](const std::string& pattern) {
                std::string text = pattern;
                if (const auto at = text.find("{url}"); at != std::string::npos)
                    text.replace(at, 5, c.url);
                return line == text;
            });
            EXPECT_TRUE(expected) << line;
        }
        EXPECT_EQ(countOf(result.err, "[" + c.name + "] new version"), 0u);
        // The target directory is made only for a payload to install.
        EXPECT_FALSE(std::filesystem::exists(dir_ / c.name));
    }
    // The fourth redirect is refused, not followed: four requests per cycle.
    const auto hop_requests = hops.requests();
    ASSERT_GE(hop_requests.size(), 8u);
    const std::vector<std::string> hop_targets = {"/bundle.tar.gz", "/hop1", "/hop2", "/hop3"};
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(hop_requests[i].connection, i / 4);
        EXPECT_TRUE(hop_requests[i].bytes.starts_with("GET " + hop_targets[i % 4] + " HTTP/1.1\r\n"))
            << hop_requests[i].bytes;
    }
    EXPECT_EQ(countOf(result.err, "\nerror(quillstead): [linefeed] forged"), 0u) << result.err;
    // Nothing of the cut-off archive went anywhere.
    EXPECT_EQ(countOf(result.err, "info(bundle)"), 0u) << result.err;
    EXPECT_EQ(countOf(result.err, "200 OK"), 0u) << result.err;
}

// Three redirects in a row are followed (on the same kept-alive connection,
// through absolute and relative locations) and the payload of the fourth
// request is installed; every hop carries the agent's extra headers.
TEST_F(AgentScripted, ThreeRedirectsAreFollowedAndInstall) {
    const std::string archive = siteArchive("after three hops\n");
    ScriptedServer server({{script::request(), script::send(redirect("http://127.0.0.1:{port}/hop1")),
                            script::request(), script::send(redirect("/hop2")), script::request(),
                            script::send(redirect("hop3")), script::request(),
                            script::send(response("HTTP/1.1 200 OK", "ETag: \"hops\"\r\n", archive))}},
                          {.lifetime = 20s});
    // A redirect whose body ends with the connection leaves nothing to reuse:
    // the next hop connects anew, and an interim 100 before the final answer
    // is skipped.
    ScriptedServer reconnect({script::respond("HTTP/1.1 301 Moved Permanently\r\nlocation: /moved\r\n\r\n"
                                              "<p>moved</p>"),
                              script::respond("HTTP/1.1 100 Continue\r\n\r\n" +
                                              response("HTTP/1.1 200 OK", "etag: \"m\"\r\n", "moved\n"))},
                             {.lifetime = 20s});
    const std::string config = writeConfig(
        bundle("site", server.url("/dir/bundle.tar.gz"), "authorization = Bearer hop-token\n", "3600") +
        bundle("moved", reconnect.url("/start"), "format = raw\nfilename = motd\n", "3600"));
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(waitForFile(dir_ / "moved/.etag", "\"m\"")) << agent.stderrSoFar();
    const ProcessResult result = stop(agent);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("info(http): 200 OK, " + std::to_string(archive.size()) +
                              " bytes, etag=\"hops\"\n"
                              "info(quillstead): [site] new version: hops (" +
                              std::to_string(archive.size()) + " bytes)\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(linkTarget(dir_ / "site/current"), "vhops");
    EXPECT_EQ(readFile(dir_ / "site/current/conf/app.conf"), "after three hops\n");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    const std::string extra = "User-Agent: quillstead/0.3.1\r\nAuthorization: Bearer hop-token\r\n\r\n";
    const std::vector<std::string> targets = {"/dir/bundle.tar.gz", "/hop1", "/hop2", "/hop3"};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].bytes, standardHead(targets[i], server.port()) + extra);
        EXPECT_EQ(requests[i].connection, 0u);
    }

    EXPECT_EQ(readFile(dir_ / "moved/motd"), "moved\n");
    const auto moved_requests = reconnect.requests();
    ASSERT_EQ(moved_requests.size(), 2u);
    EXPECT_EQ(moved_requests[0].connection, 0u);
    EXPECT_TRUE(moved_requests[0].bytes.starts_with("GET /start HTTP/1.1\r\n"));
    EXPECT_EQ(moved_requests[1].connection, 1u);
    EXPECT_TRUE(moved_requests[1].bytes.starts_with("GET /moved HTTP/1.1\r\n"));
}

// A 200 without an ETag: the version is named from the clock, the ETag record
// is left empty, and a restarted agent asks without If-None-Match.
TEST_F(AgentScripted, AnswerWithoutEtagNamesVersionFromClockAndStoresEmptyRecord) {
    const std::string archive = siteArchive("no etag\n");
    ScriptedServer server({script::respond(response("HTTP/1.1 200 OK", "", archive)),
                           script::respond("HTTP/1.1 304 Not Modified\r\n\r\n")},
                          {.lifetime = 20s});
    const std::string target = dir_ / "site";
    const std::string config = writeConfig(bundle("site", server.url("/b.tar.gz"), "", "3600"));
    {
        RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
        ASSERT_TRUE(waitForFile(target + "/.etag", "")) << agent.stderrSoFar();
        const ProcessResult result = stop(agent);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_NE(result.err.find("info(http): 200 OK, " + std::to_string(archive.size()) +
                                  " bytes, etag=\n"),
                  std::string::npos)
            << result.err;
        std::smatch match;
        ASSERT_TRUE(std::regex_search(
            result.err, match,
            std::regex(R"(info\(quillstead\): \[site\] new version: t([0-9]+) \(([0-9]+) bytes\)\n)")))
            << result.err;
        EXPECT_EQ(match[2].str(), std::to_string(archive.size()));
        const std::string version = "vt" + match[1].str();
        EXPECT_EQ(linkTarget(target + "/current"), version);
        EXPECT_EQ(listDir(target), (std::vector<std::string>{".etag", "current", version}));
        EXPECT_EQ(std::filesystem::file_size(target + "/.etag"), 0u);
        EXPECT_EQ(readFile(target + "/current/conf/app.conf"), "no etag\n");
    }
    RunningProcess again(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(again.waitForStderr("info(quillstead): [site] unchanged\n", 15s)) << again.stderrSoFar();
    const ProcessResult second = stop(again);
    EXPECT_EQ(second.exit_status, 0);
    EXPECT_EQ(countOf(second.err, "cached etag"), 0u) << second.err;

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests)
        EXPECT_EQ(request.bytes,
                  standardHead("/b.tar.gz", server.port()) + "User-Agent: quillstead/0.3.1\r\n\r\n");
}

// The request head byte for byte: the client's lines, then the agent's
// User-Agent, the cached ETag as stored, the configured authorization.
TEST_F(AgentScripted, RequestHeadCarriesAgentHeaders) {
    ScriptedServer server({script::respond("HTTP/1.1 304 Not Modified\r\n\r\n")}, kRepeating);
    const std::string port = std::to_string(server.port());
    // A weak ETag with quotes, a blank and a tab inside; the line end of the
    // record is not part of it.
    std::filesystem::create_directories(dir_ / "both");
    writeFile(dir_ / "both/.etag", "W/\"a b\tc\"\n");
    std::filesystem::create_directories(dir_ / "userinfo");
    writeFile(dir_ / "userinfo/.etag", "\"u1\"");
    const std::string config = writeConfig(
        bundle("both", "http://user:pw@127.0.0.1:" + port + "/both", "authorization = Bearer t0k=n\n") +
        bundle("userinfo", "http://user:pw@127.0.0.1:" + port + "/userinfo") +
        bundle("configured", server.url("/configured"), "authorization = Basic c2VjcmV0\n") +
        bundle("empty", server.url("/empty"), "authorization = \"\"\n"));
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(agent.waitForStderr("[empty] unchanged", 15s)) << agent.stderrSoFar();
    const ProcessResult result = stop(agent);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("info(quillstead):   [both] cached etag: W/\"a b\tc\"\n"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("info(http): 304 Not Modified\ninfo(quillstead): [both] unchanged\n"),
              std::string::npos);

    const auto requests = server.requests();
    ASSERT_GE(requests.size(), 4u);
    const std::string agent_ua = "User-Agent: quillstead/0.3.1\r\n";
    const std::string basic = "dXNlcjpwdw==";  // user:pw
    EXPECT_EQ(requests[0].bytes, standardHead("/both", server.port(), basic) + agent_ua +
                                     "If-None-Match: W/\"a b\tc\"\r\nAuthorization: Bearer t0k=n\r\n\r\n");
    EXPECT_EQ(requests[1].bytes,
              standardHead("/userinfo", server.port(), basic) + agent_ua + "If-None-Match: \"u1\"\r\n\r\n");
    EXPECT_EQ(requests[2].bytes,
              standardHead("/configured", server.port()) + agent_ua +
                  "Authorization: Basic c2VjcmV0\r\n\r\n");
    EXPECT_EQ(requests[3].bytes, standardHead("/empty", server.port()) + agent_ua + "\r\n");
    // A 304 installs nothing.
    EXPECT_FALSE(std::filesystem::exists(dir_ / "configured"));
    EXPECT_EQ(readFile(dir_ / "both/.etag"), "W/\"a b\tc\"\n");
}

// An archive whose entry climbs out of the version directory is refused: no
// file outside target_dir, the staged version gone, current and the ETag
// record as they were, and the next poll tries again with the old ETag.
TEST_F(AgentScripted, HostileArchiveOverHttpInstallsNothing) {
    const std::string good = siteArchive("good\n");
    const std::string evil =
        makeTarGz({fileEntry("ok.txt", "harmless\n"), fileEntry("../escape", "escaped\n"),
                   fileEntry("../../escape", "escaped\n")});
    ScriptedServer server({script::respond(response("HTTP/1.1 200 OK", "etag: \"good\"\r\n", good)),
                           script::respond(response("HTTP/1.1 200 OK", "etag: \"evil\"\r\n", evil))},
                          kRepeating);
    // The ETag names the version directory; one that climbs out of
    // target_dir still installs below it, under an encoded name.
    const std::string climbing = "\"x/../../../escape\"";
    ScriptedServer named_server(
        {script::respond(response("HTTP/1.1 200 OK", "etag: " + climbing + "\r\n", good))},
        {.lifetime = 20s});
    const std::string target = dir_ / "site";
    RunningProcess agent(quillsteadBinary(),
                         {.args = {"-c", writeConfig(bundle("site", server.url("/b")) +
                                                     bundle("named", named_server.url("/b"), "", "3600"))}});
    const std::string failed = "error(quillstead): [site] bundle apply failed: error.ExtractFailed\n";
    ASSERT_TRUE(waitForCount(agent, failed, 2, 15s)) << agent.stderrSoFar();
    const ProcessResult result = stop(agent);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("info(quillstead): [site] new version: evil (" + std::to_string(evil.size()) +
                              " bytes)\n"),
              std::string::npos);
    EXPECT_NE(result.err.find("error(bundle): failed to write ../escape: error.ExtractFailed\n" + failed),
              std::string::npos)
        << result.err;

    EXPECT_FALSE(std::filesystem::exists(target + "/escape"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "escape"));
    EXPECT_EQ(listDir(target), (std::vector<std::string>{".etag", "current", "vgood"}));
    EXPECT_EQ(linkTarget(target + "/current"), "vgood");
    EXPECT_EQ(readFile(target + "/current/conf/app.conf"), "good\n");
    EXPECT_EQ(readFile(target + "/.etag"), "\"good\"");
    const std::string encoded = "vx%2F..%2F..%2F..%2Fescape";
    EXPECT_EQ(listDir(dir_ / "named"), (std::vector<std::string>{".etag", "current", encoded}));
    EXPECT_EQ(linkTarget(dir_ / "named/current"), encoded);
    EXPECT_EQ(readFile(dir_ / "named/.etag"), climbing);
    EXPECT_FALSE(std::filesystem::exists(dir_.path().parent_path() / "escape"));
    EXPECT_EQ(listDir(dir_.str()), (std::vector<std::string>{"agent.conf", "named", "site"}));

    // The failed install left the cached ETag alone.
    const auto requests = server.requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_NE(requests[2].bytes.find("\r\nIf-None-Match: \"good\"\r\n"), std::string::npos);
}

// Content coding gzip is removed before installing, with content-length and
// with chunked framing; a body may also end with the connection.
TEST_F(AgentScripted, BodiesAreDecodedWhateverTheirFraming) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "setting_" + std::to_string(i) + " = on\n";
    const std::string coded = gzip(text);
    ASSERT_LT(coded.size(), text.size());
    const std::string archive = siteArchive(text);
    const std::string coded_archive = gzip(archive);
    std::string chunked;
    for (std::size_t at = 0; at < coded_archive.size(); at += 1000) {
        const std::string piece = coded_archive.substr(at, 1000);
        char size[16];
        std::snprintf(size, sizeof size, "%zx", piece.size());
        chunked += std::string(size) + "\r\n" + piece + "\r\n";
    }
    chunked += "0\r\n\r\n";

    ScriptedServer raw_server(
        {script::respond(response("HTTP/1.1 200 OK", "Content-Encoding: gzip\r\nETag: \"raw\"\r\n", coded))},
        {.lifetime = 20s});
    ScriptedServer archive_server(
        {script::respond("HTTP/1.1 200 OK\r\nETag: \"arc\"\r\ncontent-encoding: gzip\r\n"
                         "transfer-encoding: chunked\r\n\r\n" + chunked)},
        {.lifetime = 20s});
    // No length and no chunks: the body ends with the connection. Of its
    // ETag lines only the first whose name is exactly etag counts.
    ScriptedServer close_server(
        {script::respond("HTTP/1.1 200 OK\r\nETag : \"blank-before-colon\"\r\nETAG:\t \"x y\" \t\r\n"
                         "etag: \"second\"\r\nconnection: close\r\n\r\nuntil close\n")},
        {.lifetime = 20s});
    const std::string config = writeConfig(
        bundle("raw", raw_server.url("/settings"), "format = raw\nfilename = settings.conf\n", "3600") +
        bundle("close", close_server.url("/motd"), "format = raw\nfilename = motd\n", "3600") +
        bundle("arc", archive_server.url("/site.tar.gz"), "", "3600"));
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(waitForFile(dir_ / "arc/.etag", "\"arc\"")) << agent.stderrSoFar();
    const ProcessResult result = stop(agent);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("info(http): 200 OK, " + std::to_string(text.size()) +
                              " bytes, etag=\"raw\"\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("info(bundle): wrote " + std::to_string(text.size()) + " bytes to " +
                              (dir_ / "raw") + "/settings.conf (raw)\n"),
              std::string::npos);
    EXPECT_EQ(readFile(dir_ / "raw/settings.conf"), text);
    EXPECT_EQ(readFile(dir_ / "raw/.etag"), "\"raw\"");
    EXPECT_NE(result.err.find("info(http): 200 OK, " + std::to_string(archive.size()) +
                              " bytes, etag=\"arc\"\n"),
              std::string::npos);
    EXPECT_EQ(readFile(dir_ / "arc/current/conf/app.conf"), text);
    EXPECT_NE(result.err.find("info(http): 200 OK, 12 bytes, etag=\"x y\"\n"), std::string::npos);
    EXPECT_EQ(readFile(dir_ / "close/motd"), "until close\n");
    EXPECT_EQ(readFile(dir_ / "close/.etag"), "\"x y\"");
}

// Records go by bundle name: two bundles never share one. Names that the
// record files once wrote alike ("a/b" and "a%2Fb") keep a digest each, and
// a second bundle of one name is skipped at start-up, so neither can take
// the other's payload for its own (skip_identical).
TEST_F(AgentScripted, EachBundleKeepsRecordsOfItsOwn) {
    const std::string p1 = siteArchive("one");
    const std::string p2 = siteArchive("two");
    ScriptedServer slash({script::respond(response("HTTP/1.1 200 OK", "etag: \"1\"\r\n", p1)),
                          script::respond(response("HTTP/1.1 200 OK", "etag: \"3\"\r\n", p2))},
                         kRepeating);
    ScriptedServer escaped({script::respond(response("HTTP/1.1 200 OK", "etag: \"2\"\r\n", p2)),
                            script::respond("HTTP/1.1 304 Not Modified\r\n\r\n")},
                           kRepeating);
    ScriptedServer second({script::respond(response("HTTP/1.1 200 OK", "etag: \"9\"\r\n", p1))},
                          kRepeating);
    const auto section = [&](const std::string& name, const std::string& url, const std::string& target) {
        return "[bundle." + name + "]\nurl = " + url + "\ntarget_dir = " + (dir_ / target) +
               "\nskip_identical = yes\n";
    };
    const std::string conf = writeConfig(
        "[global]\nstate_dir = " + (dir_ / "state") + "\n" + section("a/b", slash.url("/s"), "slash") +
        section("a%2Fb", escaped.url("/e"), "escaped") + section("a/b", second.url("/d"), "second"));
    const auto once = [&] {
        RunOptions options;
        options.args = {"-c", conf, "once"};
        options.timeout = 20s;
        return runProcess(quillsteadBinary(), options);
    };
    ProcessResult r = once();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("error(config): bundle 'a/b' is defined more than once; the later one is skipped\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(second.requests().size(), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "second"));
    // a/b now offers under a new ETag the payload that only a%2Fb installed.
    r = once();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err.find("same payload"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("info(quillstead): [a/b] new version: 3 ("), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir_ / "slash/current/conf/app.conf"), "two");
}

}  // namespace
}  // namespace qs::test
