// The built agent through squid, a real forward proxy started here with its
// own configuration: plain http in absolute form, https through CONNECT
// with the certificate checked against the origin, basic proxy
// authentication (squid's basic_ncsa_auth helper and an htpasswd file made
// here), refusals of the proxy as failed fetches naming its status,
// no_proxy, and proxy = env. All cases are bundles of one agent run; a
// second run shows the recorded ETag reaching the origin through the proxy.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>

#include "support/agent_run.hpp"
#include "support/certificates.hpp"
#include "support/nginx_server.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/web_servers.hpp"
#include "support/shared_servers.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kUser = "agent";
constexpr std::string_view kPassword = "s3cret";

struct ProxyServers {
    static bool available() {
        return SquidServer::available() && NginxServer::available() && canUsePrivateMounts();
    }
    static constexpr const char* kNeeds = "needs squid, nginx, root and unshare -m";

    TempDir dir;
    TempDir ca_dir;
    TestPki pki;
    std::unique_ptr<NginxServer> plain;
    std::unique_ptr<NginxServer> tls;
    std::unique_ptr<SquidServer> squid;
    std::uint16_t dead_port = 0;

    ProxyServers() {
        std::filesystem::create_directories(dir / "src");
        std::filesystem::create_directories(dir / "www");
        std::filesystem::create_directories(dir / "pki");
        writeFile(dir / "src/index.html", "<p>through the proxy</p>\n");
        makeTarGz(dir / "src", dir / "www/site.tar.gz");
        pki = makeTestPki(dir / "pki");
        shell("cp '" + pki.ca_certificate + "' '" + ca_dir.str() + "/test-ca.pem'");
        plain = std::make_unique<NginxServer>(dir / "www");
        tls = std::make_unique<NginxServer>(
            dir / "www", NginxOptions{.certificate_file = pki.server_chain, .key_file = pki.server_key});
        squid = std::make_unique<SquidServer>(SquidOptions{
            .users = {{std::string(kUser), std::string(kPassword)}},
            .refused_connect_ports = {plain->port()}});
        dead_port = pickFreePort();
    }
};

class AgentProxy : public SharedServersTest<ProxyServers> {};

TEST_F(AgentProxy, HttpAndHttpsThroughSquidWithRefusalsBypassAndEnvironment) {
    ProxyServers& s = *shared_;
    const std::string squid = "127.0.0.1:" + std::to_string(s.squid->port());
    const std::string with_login =
        "http://" + std::string(kUser) + ":" + std::string(kPassword) + "@" + squid;
    const std::string dead_proxy = "http://127.0.0.1:" + std::to_string(s.dead_port);
    const std::string https_dead_origin =
        "https://localhost:" + std::to_string(s.dead_port) + "/site.tar.gz";
    const std::string https_refused_port =
        "https://localhost:" + std::to_string(s.plain->port()) + "/site.tar.gz";
    const std::string https_by_address =
        "https://127.0.0.1:" + std::to_string(s.tls->port()) + "/site.tar.gz";

    struct Case {
        std::string name;
        std::string url;
        std::string keys;      // proxy and no_proxy lines
        std::string expected;  // the line that ends the bundle's cycle
        bool installs;
    };
    const std::vector<Case> cases = {
        {"plain", s.plain->url("/site.tar.gz"), "proxy = " + with_login, "new version:", true},
        {"tunnel", s.tls->url("/site.tar.gz"), "proxy = " + with_login, "new version:", true},
        {"environment", s.plain->url("/site.tar.gz"), "proxy = env", "new version:", true},
        // The proxy key names a port nothing listens on: only the bypass works.
        {"bypass", s.plain->url("/site.tar.gz"),
         "proxy = " + dead_proxy + "\nno_proxy = example.org, .example.net,127.0.0.1", "new version:",
         true},
        {"wrong_password", s.plain->url("/site.tar.gz"),
         "proxy = http://" + std::string(kUser) + ":wrong@" + squid,
         "fetch failed: proxy " + squid + " refused: HTTP 407", false},
        {"tunnel_without_login", s.tls->url("/site.tar.gz"), "proxy = http://" + squid,
         "fetch failed: proxy " + squid + " refused: HTTP 407", false},
        {"tunnel_port_denied", https_refused_port, "proxy = " + with_login,
         "fetch failed: proxy " + squid + " refused: HTTP 403", false},
        {"tunnel_origin_down", https_dead_origin, "proxy = " + with_login,
         "fetch failed: proxy " + squid + " refused: HTTP 503", false},
        // A proxy that is down is named, not the origin behind it.
        {"proxy_down", s.plain->url("/site.tar.gz"), "proxy = " + dead_proxy,
         "fetch failed: connection refused by 127.0.0.1:" + std::to_string(s.dead_port), false},
        // The tunnel opens, but the certificate names localhost, not the
        // address the agent asked for.
        {"tunnel_wrong_name", https_by_address, "proxy = " + with_login,
         "fetch failed: TLS: host name mismatch (127.0.0.1)", false},
    };

    std::string config;
    for (const Case& c : cases) {
        config += "[bundle." + c.name + "]\nurl = " + c.url + "\ntarget_dir = " + (s.dir / c.name) +
                  "\npoll_interval = 3600\n" + c.keys + "\n";
    }
    const std::string config_path = s.dir / "agent.conf";
    writeFile(config_path, config);
    // The environment also carries settings the explicit keys must override.
    const std::vector<std::string> environment = {"http_proxy=" + with_login,
                                                  "HTTPS_PROXY=" + dead_proxy, "no_proxy=.invalid"};

    {
        RunningProcess agent(unshareProgram(),
                             agentWithCertificates(s.ca_dir.str(), config_path, environment));
        for (const Case& c : cases) {
            ASSERT_TRUE(agent.waitForStderr("[" + c.name + "] " + c.expected, 20s))
                << c.name << "\n" << agent.stderrSoFar();
        }
        agent.signal(SIGTERM);
        const ProcessResult result = agent.wait(10s);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_NE(result.err.find("error(http): HTTP request failed for " + https_by_address +
                                  ": error.TlsInitializationFailed"),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("error(http): HTTP request failed for " + https_refused_port +
                                  ": error.ProxyRefused"),
                  std::string::npos)
            << result.err;
    }
    for (const Case& c : cases) {
        EXPECT_EQ(std::filesystem::exists(s.dir / c.name + "/current/index.html"), c.installs)
            << c.name;
    }

    const std::string proxy_log = s.squid->accessLog();
    // Absolute form for http, CONNECT for https, the login checked by the helper.
    EXPECT_NE(proxy_log.find("GET " + s.plain->url("/site.tar.gz") + " 200 agent"), std::string::npos)
        << proxy_log;
    EXPECT_NE(proxy_log.find("CONNECT localhost:" + std::to_string(s.tls->port()) + " 200 agent"),
              std::string::npos)
        << proxy_log;
    EXPECT_NE(proxy_log.find("CONNECT 127.0.0.1:" + std::to_string(s.tls->port()) + " 200 agent"),
              std::string::npos)
        << proxy_log;
    // The origins never see the proxy's credentials.
    for (const std::string& origin_log : {s.plain->accessLog(), s.tls->accessLog()}) {
        EXPECT_EQ(origin_log.find("Basic"), std::string::npos) << origin_log;
    }
    // Two requests went through squid to the plain origin (plain, environment);
    // the bypass went direct, so it is the one line without squid's Via header.
    const std::string plain_log = s.plain->accessLog();
    std::size_t via_squid = 0;
    std::size_t direct = 0;
    for (std::size_t at = 0; (at = plain_log.find("GET /site.tar.gz", at)) != std::string::npos; ++at) {
        const std::string line = plain_log.substr(at, plain_log.find('\n', at) - at);
        (line.find("squid") != std::string::npos ? via_squid : direct) += 1;
    }
    EXPECT_EQ(via_squid, 2u) << plain_log;
    EXPECT_EQ(direct, 1u) << plain_log;

    // A restart sends the recorded ETags through the proxy and gets 304.
    RunningProcess again(unshareProgram(),
                         agentWithCertificates(s.ca_dir.str(), config_path, environment));
    for (const Case& c : cases) {
        if (!c.installs) continue;
        ASSERT_TRUE(again.waitForStderr("[" + c.name + "] unchanged", 20s))
            << c.name << "\n" << again.stderrSoFar();
    }
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(10s).exit_status, 0);
}

}  // namespace
}  // namespace qs::test
