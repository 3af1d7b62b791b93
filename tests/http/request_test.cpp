// A request's life against a scripted loopback server: its head byte for
// byte, the errors of opening it, and what closing it leaves in the pool.
#include "http/request.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "http/receive_head.hpp"
#include "http/client.hpp"
#include "support/http_exchange.hpp"
#include "support/scripted_server.hpp"

namespace qs {
namespace {

using namespace std::chrono_literals;
namespace script = test::script;

constexpr std::string_view kOk = "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok";

std::string clientLine() { return "user-agent: " + std::string(kClientUserAgent) + "\r\n"; }

using test::getOnce;
using test::openAndSend;
using test::readBody;

TEST(RequestHead, AgentOptionsWithUserInformationAndExtraHeaders) {
    test::ScriptedServer server({script::respond(std::string(kOk))});
    const std::string url = "http://us%40er:pa:ss@127.0.0.1:" + std::to_string(server.port()) +
                            "/p/../q?x=1&y#frag";
    const ExtraHeader extra[] = {
        {"User-Agent", "quillstead/0.3.1"},
        {"If-None-Match", "W/\"e 1\""},
        {"Authorization", "Bearer token"},
    };
    RequestOptions options;
    options.extra_headers = extra;
    HttpClient client;
    auto request = openAndSend(client, url, options);
    ASSERT_TRUE(request) << errorName(request.error());
    std::array<char, kRedirectBufferSize> redirects{};
    ASSERT_TRUE(receiveHead(*request, redirects));
    closeRequest(*request);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string credentials = std::string(basicCredentials(*parseUri(url)).text());
    EXPECT_EQ(requests[0].bytes,
              "GET /p/../q?x=1&y HTTP/1.1\r\n"
              "host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"
              "authorization: " + credentials + "\r\n" +
              clientLine() +
              "connection: keep-alive\r\n"
              "accept-encoding: gzip, deflate\r\n"
              "User-Agent: quillstead/0.3.1\r\n"
              "If-None-Match: W/\"e 1\"\r\n"
              "Authorization: Bearer token\r\n"
              "\r\n");
}

TEST(RequestHead, StandardLinesCanBeOmittedOrOverridden) {
    struct Case {
        std::string_view name;
        RequestOptions options;
        std::string_view lines;  // after the request line
    };
    const auto with = [](auto change) {
        RequestOptions options;
        change(options);
        return options;
    };
    const Case cases[] = {
        {"all omitted", with([](RequestOptions& o) {
             o.headers = {HeaderValue::omit(), HeaderValue::omit(), HeaderValue::omit(),
                          HeaderValue::omit(), HeaderValue::omit(), HeaderValue::omit()};
         }),
         "\r\n"},
        {"overrides in place", with([](RequestOptions& o) {
             o.headers.host = HeaderValue::overrideWith("example.org");
             o.headers.authorization = HeaderValue::overrideWith("Basic eDp5");
             o.headers.user_agent = HeaderValue::overrideWith("other/2");
             o.headers.connection = HeaderValue::overrideWith("Upgrade");
             o.headers.accept_encoding = HeaderValue::overrideWith("identity");
             o.headers.content_type = HeaderValue::overrideWith("text/plain");
         }),
         "host: example.org\r\nauthorization: Basic eDp5\r\nuser-agent: other/2\r\n"
         "connection: Upgrade\r\naccept-encoding: identity\r\ncontent-type: text/plain\r\n\r\n"},
        {"connection close", with([](RequestOptions& o) {
             o.keep_alive = false;
             o.headers.host = HeaderValue::omit();
             o.headers.user_agent = HeaderValue::omit();
             o.headers.accept_encoding = HeaderValue::omit();
         }),
         "connection: close\r\n\r\n"},
    };
    for (const Case& c : cases) {
        test::ScriptedServer server({script::respond(std::string(kOk))});
        HttpClient client;
        const std::string url = server.url("");
        auto request = openAndSend(client, url, c.options);
        ASSERT_TRUE(request) << c.name;
        closeRequest(*request);
        ASSERT_TRUE(server.waitForFinishedConnections(1, 5s)) << c.name;
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u) << c.name;
        // An empty path is requested as "/".
        EXPECT_EQ(requests[0].bytes, "GET / HTTP/1.1\r\n" + std::string(c.lines)) << c.name;
    }
}

TEST(RequestHead, HttpTenAndAHeadLongerThanTheWriteBuffer) {
    test::ScriptedServer server({script::respond(std::string(kOk))});
    const std::string long_value(3000, 'v');
    const ExtraHeader extra[] = {{"X-Long", long_value}};
    RequestOptions options;
    options.version = HttpVersion::http_1_0;
    options.extra_headers = extra;
    HttpClient client;
    const std::string url = server.url("/x");
    auto request = openAndSend(client, url, options);
    ASSERT_TRUE(request);
    closeRequest(*request);
    ASSERT_TRUE(server.waitForFinishedConnections(1, 5s));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bytes, "GET /x HTTP/1.0\r\nhost: 127.0.0.1:" +
                                     std::to_string(server.port()) + "\r\n" + clientLine() +
                                     "connection: keep-alive\r\naccept-encoding: gzip, deflate\r\n"
                                     "X-Long: " + long_value + "\r\n\r\n");
}

TEST(OpenRequest, FailsWithNamedErrorsAndLeavesNothingOpen) {
    // A port that refuses: bound, never listening.
    const int refusing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(refusing, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::getsockname(refusing, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string refused_url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

    struct Case {
        std::string url;
        Error expected;
        Error alternative;  // the same outcome as some machines report it
    };
    const Case cases[] = {
        {refused_url, Error::ConnectionRefused, Error::ConnectionRefused},
        {"http://no-such-host.invalid/", Error::UnknownHostName, Error::TemporaryNameServerFailure},
        {"HTTP://127.0.0.1/", Error::UnsupportedUriScheme, Error::UnsupportedUriScheme},
        {"ftp://127.0.0.1/", Error::UnsupportedUriScheme, Error::UnsupportedUriScheme},
        {"http:///path", Error::UriMissingHost, Error::UriMissingHost},
        {"http://" + std::string(256, 'h') + "/", Error::UriHostTooLong, Error::UriHostTooLong},
        // The trust store cannot be loaded by the client: a named error, no crash.
        {"https://127.0.0.1:1/", Error::CertificateBundleLoadFailure,
         Error::TlsInitializationFailed},
    };
    HttpClient client;
    for (const Case& c : cases) {
        const auto uri = parseUri(c.url);
        ASSERT_TRUE(uri) << c.url;
        const auto request = openRequest(client, Method::get, *uri, {});
        ASSERT_FALSE(request) << c.url;
        EXPECT_TRUE(request.error() == c.expected || request.error() == c.alternative)
            << c.url << ": " << errorName(request.error());
    }
    EXPECT_EQ(client.inUseCount(), 0u);
    EXPECT_EQ(client.idleCount(), 0u);
    ::close(refusing);
}

TEST(OpenRequest, HttpsWithALoadedStoreFailsInTheHandshakeWithoutCrashing) {
    test::ScriptedServer server({{script::awaitClose()}});
    HttpClient client;
    client.trustStore().markLoaded();
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
    const auto request = openRequest(client, Method::get, *parseUri(url), {});
    ASSERT_FALSE(request);
    // The server speaks no TLS, and until the TLS layer exists every
    // handshake fails; either way the name is the same.
    EXPECT_EQ(request.error(), Error::TlsInitializationFailed);
    EXPECT_EQ(client.inUseCount(), 0u);
}

TEST(OpenRequest, ConnectsToTheIpv6LoopbackByItsLiteral) {
    std::optional<test::ScriptedServer> server;
    try {
        test::ScriptedServerOptions options;
        options.ipv6_loopback = true;
        server.emplace(std::vector<test::ConnectionScript>{script::respond(std::string(kOk))}, options);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    HttpClient client;
    EXPECT_EQ(getOnce(client, server->url("/six", "[::1]")), 200u);
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 1u);
    // The resolver got the bare address; the host line keeps the brackets.
    EXPECT_NE(requests[0].bytes.find("host: [::1]:" + std::to_string(server->port()) + "\r\n"),
              std::string::npos)
        << requests[0].bytes;
}

TEST(CloseRequest, ReusesTheConnectionOnlyWhenTheBodyEndedWhereItsFramingSays) {
    struct Case {
        std::string_view name;
        std::string response;
        std::size_t read;  // body bytes the caller reads before closing (SIZE_MAX: all)
        bool reused;
        std::string_view whole_body = {};  // what a read to the end yields
    };
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2;x=y\r\nde\r\n0\r\nT: 1\r\n\r\n";
    const Case cases[] = {
        {"content-length read whole", std::string(kOk), SIZE_MAX, true, "ok"},
        {"content-length unread: skipped on close", std::string(kOk), 0, true},
        {"content-length read in part", std::string(kOk), 1, false},
        {"chunked read whole", chunked, SIZE_MAX, true, "abcde"},
        {"chunked unread: skipped on close", chunked, 0, true},
        {"chunked read in part", chunked, 4, false},
        {"empty body", "HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", SIZE_MAX, true},
    };
    for (const Case& c : cases) {
        test::ScriptedServer server({{script::request(), script::send(c.response), script::request(),
                                      script::send(std::string(kOk))}});
        HttpClient client;
        const std::string url = server.url("/");
        auto request = openAndSend(client, url);
        ASSERT_TRUE(request) << c.name;
        std::array<char, kRedirectBufferSize> redirects{};
        ASSERT_TRUE(receiveHead(*request, redirects)) << c.name;
        if (c.read > 0) {
            BodyReader body = bodyReader(*request);
            const auto text = readBody(body, c.read);
            ASSERT_TRUE(text) << c.name;
            if (c.read == SIZE_MAX) {
                EXPECT_EQ(*text, c.whole_body) << c.name;
            }
        }
        closeRequest(*request);
        EXPECT_EQ(client.idleCount(), c.reused ? 1u : 0u) << c.name;
        if (c.reused) {
            EXPECT_EQ(getOnce(client, url), 200u) << c.name;
            EXPECT_EQ(server.connectionsAccepted(), 1u) << c.name;
        }
    }
}

}  // namespace
}  // namespace qs
