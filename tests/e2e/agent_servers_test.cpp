// The built agent against the other servers bundles are published from,
// each from its Debian package, started once here with its own
// configuration and put to the same scenario (first install, restart with
// the recorded ETag, changed payload; archives and raw files; https where
// the server does TLS itself). What each does with ETags and compression:
//
// - varnish caching nginx: the cache keeps nginx's ETag and answers the
//   agent's If-None-Match with 304 itself while the object is fresh, adding
//   an Age header; once the object expires it fetches the file anew, without
//   the agent's validator, and compares that itself. nginx never sees a
//   conditional request.
// - haproxy terminating TLS in front of nginx: headers pass through
//   untouched, so nginx's ETag and 304 reach the agent over TLS.
// - python3 -m http.server: no ETag at all, only Last-Modified, and 304 for
//   If-Modified-Since. Without use_last_modified every poll downloads and
//   installs again; with it a restart sends the recorded date and gets 304.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "support/agent_run.hpp"
#include "support/certificates.hpp"
#include "support/nginx_server.hpp"
#include "support/server_matrix.hpp"
#include "support/temp_dir.hpp"
#include "support/web_servers.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

// What every server here shares: a published site and, for https, a test
// CA that the agent trusts alone.
struct Published {
    TempDir dir;
    TempDir ca_dir;
    PublishedSite site{dir / "site"};
    TestPki pki;
    Published() {
        makeWorldReadable(dir.str());
        std::filesystem::create_directories(dir / "pki");
        pki = makeTestPki(dir / "pki");
        shell("cp '" + pki.ca_certificate + "' '" + ca_dir.str() + "/test-ca.pem'");
    }
};

bool privateMounts() { return canUsePrivateMounts(); }

std::size_t countMatches(const std::string& text, const std::regex& pattern) {
    return static_cast<std::size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()));
}

TEST(AgentVarnish, ConditionalRequestsThroughTheCache) {
    if (!VarnishServer::available() || !NginxServer::available()) GTEST_SKIP() << "needs varnish and nginx";
    Published published;
    const NginxServer origin(published.site.www());
    const VarnishServer cache(origin.port());
    TempDir agent;
    const auto runs = runServerMatrix(published.site, agent.str(),
                                      {
                                          {"archive", cache.url("/site.tar.gz")},
                                          {"raw", cache.url("/motd.txt"), true},
                                      },
                                      {.after_publish = [] { std::this_thread::sleep_for(1500ms); }});
    // The restart's conditional requests were answered by the cache, with
    // an Age header, whether the object was still fresh or had just been
    // fetched again; nginx never saw a validator.
    const ProcessResult answers = runProcess(
        "/usr/bin/varnishncsa", {.args = {"-d", "-n", cache.stateDir() + "/varnish", "-F", "%U %s %{Age}o"}});
    ASSERT_EQ(answers.exit_status, 0) << answers.err;
    EXPECT_EQ(countMatches(answers.out, std::regex("^/\\S+ 304 [0-9]+$", std::regex::multiline)), 2u)
        << answers.out;
    EXPECT_EQ(countMatches(origin.accessLog(), std::regex("\"\"[^ \"]")), 0u) << origin.accessLog();
}

TEST(AgentHaproxy, TlsTerminatedInFrontOfNginx) {
    if (!HaproxyServer::available() || !NginxServer::available() || !privateMounts())
        GTEST_SKIP() << "needs haproxy, nginx and unshare -m";
    Published published;
    const NginxServer origin(published.site.www());
    const HaproxyServer front(HaproxyOptions{
        .backends = {origin.port()}, .tls = {published.pki.server_chain, published.pki.server_key}});
    TempDir agent;
    runServerMatrix(published.site, agent.str(),
                    {
                        {"archive_tls", front.httpsUrl("/site.tar.gz")},
                        {"raw_tls", front.httpsUrl("/motd.txt"), true},
                    },
                    {.ca_dir = published.ca_dir.str()});
    // The conditional request reached nginx through the terminator.
    EXPECT_NE(origin.accessLog().find("GET /site.tar.gz HTTP/1.1 304"), std::string::npos)
        << origin.accessLog();
}

TEST(AgentPythonHttpServer, NoEtagButLastModified) {
    if (!PythonHttpServer::available()) GTEST_SKIP() << "needs python3";
    Published published;
    const PythonHttpServer server(published.site.www());
    TempDir agent;
    const auto runs = runServerMatrix(
        published.site, agent.str(),
        {
            // Without a validator the raw file is fetched and written on every poll.
            {"raw_every_poll", server.url("/motd.txt"), true, "new version:"},
            {"archive_dated", server.url("/site.tar.gz"), false, "unchanged", "use_last_modified = yes\n"},
            {"raw_dated", server.url("/motd.txt"), true, "unchanged", "use_last_modified = yes\n"},
        });
    // The date went into the record and back out as If-Modified-Since.
    EXPECT_FALSE(readFile(agent / "raw_dated/.last-modified").empty());
    EXPECT_TRUE(readFile(agent / "raw_dated/.etag").empty());
}

}  // namespace
}  // namespace qs::test
