// Forward proxies: the proxy URL and no_proxy rules, the routes taken from
// the keys or the environment, and the client's side of the exchange with a
// scripted proxy: absolute-form requests, CONNECT and the proxy's answers,
// and credentials that stay with the proxy when a redirect leaves it.
#include "http/proxy.hpp"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>

#include "http/client.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"
#include "support/scripted_server.hpp"

namespace qs {
namespace {

using namespace std::chrono_literals;
namespace script = test::script;

TEST(ProxyUrl, ParsesHostPortAndCredentials) {
    struct Case {
        std::string_view text;
        Result<ProxyServer> expected;
    };
    const Case cases[] = {
        {"http://proxy.example:3128", ProxyServer{"proxy.example", 3128, ""}},
        {"http://proxy.example:3128/", ProxyServer{"proxy.example", 3128, ""}},
        // The scheme's port when none is named.
        {"http://proxy.example", ProxyServer{"proxy.example", 80, ""}},
        {"http://u:p@10.0.0.1:8080", ProxyServer{"10.0.0.1", 8080, "Basic dTpw"}},
        {"http://[::1]:3128", ProxyServer{"::1", 3128, ""}},
        {"https://proxy.example:3128", std::unexpected(Error::UnsupportedUriScheme)},
        {"socks5://proxy.example:1080", std::unexpected(Error::UnsupportedUriScheme)},
        {"http://proxy.example:3128/path", std::unexpected(Error::InvalidFormat)},
        {"http://proxy.example:3128/?q", std::unexpected(Error::InvalidFormat)},
        {"http://proxy.example:99999", std::unexpected(Error::InvalidPort)},
        {"http:///", std::unexpected(Error::UriMissingHost)},
        {"proxy.example:3128", std::unexpected(Error::UnsupportedUriScheme)},
    };
    for (const Case& c : cases) {
        const auto parsed = parseProxyUrl(c.text);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.text;
        if (!parsed) {
            EXPECT_EQ(parsed.error(), c.expected.error()) << c.text;
            continue;
        }
        EXPECT_EQ(parsed->host, c.expected->host) << c.text;
        EXPECT_EQ(parsed->port, c.expected->port) << c.text;
        EXPECT_EQ(parsed->authorization, c.expected->authorization) << c.text;
    }
}

TEST(NoProxy, MatchesHostsAndSuffixes) {
    const auto entries = parseNoProxy(" intranet.example ,.corp.example,,[::1], 10.1.2.3");
    EXPECT_EQ(entries, (std::vector<std::string>{"intranet.example", ".corp.example", "::1", "10.1.2.3"}));
    struct Case {
        std::string_view host;
        bool bypassed;
    };
    const Case cases[] = {
        {"intranet.example", true},  {"INTRANET.Example", true},
        {"www.intranet.example", false},  // a plain name is that host alone
        {"a.corp.example", true},    {"a.b.CORP.example", true},
        {"corp.example", false},     {"xcorp.example", false},
        {"::1", true},               {"10.1.2.3", true},
        {"10.1.2.30", false},        {"bundles.example", false},
    };
    for (const Case& c : cases) EXPECT_EQ(bypassesProxy(entries, c.host), c.bypassed) << c.host;
    const std::vector<std::string> everything{"*"};
    EXPECT_TRUE(bypassesProxy(everything, "anything.example"));
}

// The environment of one case, served to proxyRoutes.
const std::map<std::string, std::string>* g_environment = nullptr;
std::optional<std::string_view> fakeEnvironment(const char* name) {
    const auto it = g_environment->find(name);
    if (it == g_environment->end()) return std::nullopt;
    return std::string_view(it->second);
}

TEST(ProxyRoutes, FromKeysAndEnvironment) {
    struct Case {
        std::string_view name;
        std::optional<std::string_view> proxy;
        std::optional<std::string_view> no_proxy;
        std::map<std::string, std::string> environment;
        std::string http_via;   // "host:port" or "" for direct
        std::string https_via;
        std::string bypassed_host;  // a host that goes direct, if any
    };
    const Case cases[] = {
        {"no key ignores the environment", std::nullopt, std::nullopt,
         {{"http_proxy", "http://p:1"}}, "", "", ""},
        {"one proxy for both schemes", "http://p:3128", "skip.example", {}, "p:3128", "p:3128",
         "skip.example"},
        {"env, lower case first", "env", std::nullopt,
         {{"http_proxy", "http://low:1"}, {"HTTP_PROXY", "http://up:2"}, {"HTTPS_PROXY", "up:3"},
          {"NO_PROXY", ".internal"}},
         "low:1", "up:3", "a.internal"},
        {"env, empty value is none", "env", std::nullopt, {{"http_proxy", ""}, {"https_proxy", "s:4"}},
         "", "s:4", ""},
        {"the key's no_proxy wins", "env", "mine.example",
         {{"http_proxy", "h:5"}, {"no_proxy", "theirs.example"}}, "h:5", "", "mine.example"},
    };
    for (const Case& c : cases) {
        g_environment = &c.environment;
        const auto routes = proxyRoutes(c.proxy, c.no_proxy, fakeEnvironment);
        ASSERT_TRUE(routes) << c.name;
        const auto via = [&](Protocol protocol, std::string_view host) -> std::string {
            const ProxyServer* server = routes->select(protocol, host);
            return server ? server->host + ":" + std::to_string(server->port) : "";
        };
        EXPECT_EQ(via(Protocol::plain, "origin.example"), c.http_via) << c.name;
        EXPECT_EQ(via(Protocol::tls, "origin.example"), c.https_via) << c.name;
        if (!c.bypassed_host.empty()) {
            EXPECT_EQ(via(Protocol::plain, c.bypassed_host), "") << c.name;
            EXPECT_EQ(via(Protocol::tls, c.bypassed_host), "") << c.name;
        }
    }
    const std::map<std::string, std::string> bad{{"https_proxy", "ftp://p:1"}};
    g_environment = &bad;
    EXPECT_EQ(proxyRoutes("env", std::nullopt, fakeEnvironment).error(), Error::UnsupportedUriScheme);
}

// The proxy's answers to CONNECT go through the response head parser; a
// refusal keeps its status for the fetch's reason.
TEST(ProxyTunnel, AnswersToConnect) {
    struct Case {
        std::string_view name;
        std::string answer;
        Error expected;
        unsigned status;
    };
    const Case cases[] = {
        {"login required",
         "HTTP/1.1 407 Proxy Authentication Required\r\ncontent-length: 4\r\n\r\ndeny", Error::ProxyRefused,
         407},
        {"forbidden", "HTTP/1.1 403 Forbidden\r\n\r\n", Error::ProxyRefused, 403},
        {"origin unreachable", "HTTP/1.0 502 Bad Gateway\r\n\r\n", Error::ProxyRefused, 502},
        {"bytes after the head", "HTTP/1.1 200 Connection established\r\n\r\n\x16\x03", Error::HttpHeadersInvalid, 0},
        {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", Error::HttpHeadersInvalid, 0},
        {"cut short", "HTTP/1.1 200 Conn", Error::HttpRequestTruncated, 0},
        {"silent", "", Error::HttpConnectionClosing, 0},
        {"head too long", "HTTP/1.1 200 OK\r\nx: " + std::string(9000, 'a') + "\r\n\r\n",
         Error::HttpHeadersOversize, 0},
    };
    for (const Case& c : cases) {
        test::ScriptedServer proxy({script::respond(c.answer)});
        HttpClient client;
        const ProxyServer server{"127.0.0.1", proxy.port(), "Basic dTpw"};
        const auto connection = client.connect("origin.invalid", 443, Protocol::tls, &server);
        ASSERT_FALSE(connection) << c.name;
        EXPECT_EQ(connection.error(), c.expected) << c.name;
        EXPECT_EQ(client.proxyRefusal(), c.status) << c.name;
        proxy.stop();
        const auto requests = proxy.requests();
        ASSERT_EQ(requests.size(), 1u) << c.name;
        // Only the proxy's name was resolved; the origin's goes to the proxy.
        EXPECT_EQ(requests[0].bytes,
                  "CONNECT origin.invalid:443 HTTP/1.1\r\nhost: origin.invalid:443\r\n"
                  "proxy-authorization: Basic dTpw\r\n\r\n")
            << c.name;
    }
}

// Plain http goes to the proxy in absolute form with the proxy's login; a
// redirect to a host in no_proxy goes direct, without it.
TEST(ProxyForwarding, AbsoluteFormAndNoCredentialsBeyondTheProxy) {
    test::ScriptedServer server({
        script::respond("HTTP/1.1 302 Found\r\nlocation: http://localhost:{port}/direct\r\n"
                        "content-length: 0\r\n\r\n"),
        script::respond("HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok"),
    });
    ProxyRoutes routes;
    routes.http = ProxyServer{"127.0.0.1", server.port(), "Basic cHJveHk6bG9naW4="};
    routes.bypass = parseNoProxy("localhost");
    // The origin's own name is never resolved here: the proxy does that.
    const std::string url = "http://bundles.invalid:8080/site.tar.gz?v=1";
    const auto uri = parseUri(url);
    ASSERT_TRUE(uri);
    HttpClient client;
    RequestOptions options;
    options.proxy = &routes;
    auto request = openRequest(client, Method::get, *uri, options);
    ASSERT_TRUE(request) << errorName(request.error());
    ASSERT_TRUE(sendHead(*request));
    std::array<char, kRedirectBufferSize> redirects{};
    const auto response = receiveHead(*request, redirects);
    ASSERT_TRUE(response) << errorName(response.error());
    EXPECT_EQ(response->status, 200u);
    closeRequest(*request);
    server.stop();

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].bytes.starts_with(
        "GET http://bundles.invalid:8080/site.tar.gz?v=1 HTTP/1.1\r\nhost: bundles.invalid:8080\r\n"))
        << requests[0].bytes;
    EXPECT_NE(requests[0].bytes.find("\r\nproxy-authorization: Basic cHJveHk6bG9naW4=\r\n"),
              std::string::npos)
        << requests[0].bytes;
    EXPECT_TRUE(requests[1].bytes.starts_with("GET /direct HTTP/1.1\r\n")) << requests[1].bytes;
    EXPECT_EQ(requests[1].bytes.find("proxy-authorization"), std::string::npos) << requests[1].bytes;
}

// A redirect whose host decodes to CR LF would write a header line of the
// server's choosing into the CONNECT request: it is refused before any
// connection is made to follow it.
TEST(ProxyTunnel, RedirectHostWithLineBreaksNeverReachesConnect) {
    test::ScriptedServer server({
        script::respond("HTTP/1.1 302 Found\r\nlocation: https://evil%0D%0AX-Injected%3A%20yes/\r\n"
                        "content-length: 0\r\n\r\n"),
        script::respond("HTTP/1.1 403 Forbidden\r\n\r\n"),
    });
    ProxyRoutes routes;
    routes.http = ProxyServer{"127.0.0.1", server.port(), ""};
    routes.https = routes.http;
    const auto uri = parseUri("http://bundles.invalid/site.tar.gz");
    ASSERT_TRUE(uri);
    HttpClient client;
    RequestOptions options;
    options.proxy = &routes;
    auto request = openRequest(client, Method::get, *uri, options);
    ASSERT_TRUE(request) << errorName(request.error());
    ASSERT_TRUE(sendHead(*request));
    std::array<char, kRedirectBufferSize> redirects{};
    const auto response = receiveHead(*request, redirects);
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error(), Error::HttpRedirectLocationInvalid);
    closeRequest(*request);
    server.stop();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u) << requests.back().bytes;
    EXPECT_EQ(server.connectionsAccepted(), 1u);
}

}  // namespace
}  // namespace qs
