// The client against a scripted loopback server: request heads byte for
// byte, connection errors, and the pool.
#include "http/client.hpp"

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
#include "http/request.hpp"
#include "support/scripted_server.hpp"

namespace qs {
namespace {

using namespace std::chrono_literals;
namespace script = test::script;

constexpr std::string_view kOk = "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok";

std::string clientLine() { return "user-agent: " + std::string(kClientUserAgent) + "\r\n"; }

// Parses `url` (which must outlive the request), opens and sends.
Result<Request> openAndSend(HttpClient& client, const std::string& url,
                            const RequestOptions& options = {}) {
    QS_TRY_ASSIGN(const Uri uri, parseUri(url));
    QS_TRY_ASSIGN(Request request, openRequest(client, Method::get, uri, options));
    if (auto sent = sendHead(request); !sent) {
        closeRequest(request);
        return std::unexpected(sent.error());
    }
    return request;
}

// One whole GET whose response has no body left to read: open, send,
// receive, close. Returns the status.
Result<unsigned> getOnce(HttpClient& client, const std::string& url) {
    QS_TRY_ASSIGN(Request request, openAndSend(client, url));
    std::array<char, kRedirectBufferSize> redirects{};
    auto response = receiveHead(request, redirects);
    closeRequest(request);
    if (!response) return std::unexpected(response.error());
    return response->status;
}

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

TEST(Pool, ReusesAnIdleConnectionToTheSameHostInAnyLetterCase) {
    test::ScriptedServer server({{script::request(), script::send(std::string(kOk)),
                                  script::request(), script::send(std::string(kOk))}});
    HttpClient client;
    const std::string first = server.url("/1", "localhost");
    const std::string second = server.url("/2", "LocalHost");

    auto request = openAndSend(client, first);
    ASSERT_TRUE(request);
    std::array<char, kRedirectBufferSize> redirects{};
    ASSERT_TRUE(receiveHead(*request, redirects));
    ASSERT_TRUE(discardResponseBody(*request));
    closeRequest(*request);
    EXPECT_EQ(client.idleCount(), 1u);

    EXPECT_EQ(getOnce(client, second), 200u);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].connection, 0u);
    EXPECT_EQ(server.connectionsAccepted(), 1u);
}

TEST(Pool, KeepsAtMost32IdleConnectionsAndEvictsTheOldest) {
    constexpr std::size_t kCount = kIdleConnectionLimit + 1;
    test::ScriptedServer server(
        {{script::request(), script::send(std::string(kOk)), script::request(),
          script::send(std::string(kOk))}},
        {.repeat_last = true});
    auto owned = std::make_unique<HttpClient>();
    HttpClient& client = *owned;
    const std::string url = server.url("/");
    std::vector<Request> requests;
    std::array<char, kRedirectBufferSize> redirects{};
    for (std::size_t i = 0; i < kCount; ++i) {
        auto request = openAndSend(client, url);
        ASSERT_TRUE(request) << i;
        ASSERT_TRUE(receiveHead(*request, redirects)) << i;
        ASSERT_TRUE(discardResponseBody(*request)) << i;
        requests.push_back(std::move(*request));
    }
    EXPECT_EQ(client.inUseCount(), kCount);
    for (Request& request : requests) closeRequest(request);
    EXPECT_EQ(client.idleCount(), kIdleConnectionLimit);
    EXPECT_EQ(client.inUseCount(), 0u);
    // The first connection released was closed to make room.
    EXPECT_TRUE(server.waitForFinishedConnections(1, 5s));

    // The most recently released connection is the one taken next.
    EXPECT_EQ(getOnce(client, url), 200u);
    const auto received = server.requests();
    EXPECT_EQ(received.back().connection, kCount - 1);
    EXPECT_EQ(server.connectionsAccepted(), kCount);

    // Destroying the client closes every connection, idle or in use.
    auto held = openAndSend(client, url);
    ASSERT_TRUE(held);
    destroyClient(std::move(owned));
    EXPECT_TRUE(server.waitForFinishedConnections(kCount, 5s));
}

TEST(Pool, ResponsesWithoutABodyByRuleKeepTheConnectionWithoutReading) {
    // Whatever framing these heads announce, no body follows them. The
    // server waits for the next request before it sends anything more, so a
    // client that read an absent body would block until the server gives up
    // (and then find the connection gone).
    struct Case {
        std::string_view name;
        std::string head;
    };
    const Case cases[] = {
        {"304 without framing", "HTTP/1.1 304 Not Modified\r\n\r\n"},
        {"304 announcing the representation's length",
         "HTTP/1.1 304 Not Modified\r\ncontent-length: 5\r\n\r\n"},
        {"204 without framing", "HTTP/1.1 204 No Content\r\n\r\n"},
        {"204 announcing chunks", "HTTP/1.1 204 No Content\r\ntransfer-encoding: chunked\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScriptedServerOptions options;
        options.lifetime = 5s;
        test::ScriptedServer server({{script::request(), script::send(c.head), script::request(),
                                      script::send(std::string(kOk))}},
                                    options);
        HttpClient client;
        const auto first = getOnce(client, server.url("/"));
        ASSERT_TRUE(first) << errorName(first.error());
        EXPECT_EQ(*first, std::stoul(c.head.substr(9, 3)));
        EXPECT_EQ(client.idleCount(), 1u);
        EXPECT_EQ(getOnce(client, server.url("/")), 200u);
        EXPECT_EQ(server.connectionsAccepted(), 1u);
    }
}

TEST(Pool, ABodyReaderOnAResponseWithoutBodyEndsAtOnce) {
    test::ScriptedServer server({{script::request(),
                                  script::send("HTTP/1.1 204 No Content\r\ncontent-length: 5\r\n\r\n"),
                                  script::hold()}});
    HttpClient client;
    const std::string url = server.url("/");
    auto request = openAndSend(client, url);
    ASSERT_TRUE(request);
    std::array<char, kRedirectBufferSize> redirects{};
    const auto response = receiveHead(*request, redirects);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 204u);
    BodyReader body = bodyReader(*request);
    std::array<char, 16> chunk{};
    EXPECT_EQ(body.read(chunk), 0u);
    closeRequest(*request);
    EXPECT_EQ(client.idleCount(), 1u);
}

TEST(Pool, ConnectionsThatMustNotBeReusedAreClosed) {
    struct Case {
        std::string_view name;
        std::string response;
    };
    const Case cases[] = {
        {"server asks to close", "HTTP/1.1 200 OK\r\nConnection: close\r\ncontent-length: 0\r\n\r\n"},
        {"HTTP/1.0 without keep-alive", "HTTP/1.0 200 OK\r\ncontent-length: 0\r\n\r\n"},
        {"body ends with the connection", "HTTP/1.1 200 OK\r\n\r\nbody"},
        {"body cut short", "HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\nshort"},
    };
    for (const Case& c : cases) {
        test::ScriptedServer server({script::respond(c.response)});
        HttpClient client;
        EXPECT_EQ(getOnce(client, server.url("/")), 200u) << c.name;
        EXPECT_EQ(client.idleCount(), 0u) << c.name;
        EXPECT_EQ(client.inUseCount(), 0u) << c.name;
    }
}

TEST(Pool, AClosedIdleConnectionFailsTheNextHeadAsClosing) {
    test::ScriptedServer server({script::respond(std::string(kOk))});
    HttpClient client;
    const std::string url = server.url("/");
    auto first = openAndSend(client, url);
    ASSERT_TRUE(first);
    std::array<char, kRedirectBufferSize> redirects{};
    ASSERT_TRUE(receiveHead(*first, redirects));
    ASSERT_TRUE(discardResponseBody(*first));
    closeRequest(*first);
    ASSERT_TRUE(server.waitForFinishedConnections(1, 5s));

    auto second = openAndSend(client, url);
    ASSERT_TRUE(second);  // the pooled socket takes the bytes
    const auto response = receiveHead(*second, redirects);
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error(), Error::HttpConnectionClosing);
    closeRequest(*second);
}

}  // namespace
}  // namespace qs

namespace qs {
namespace {

// Reads `reader` to its end, or to `limit` bytes.
Result<std::string> readBody(Reader& reader, std::size_t limit = SIZE_MAX) {
    std::string body;
    std::array<char, 7> chunk{};  // small, so bodies arrive in several reads
    while (body.size() < limit) {
        QS_TRY_ASSIGN(const std::size_t n, reader.read(std::span<char>(chunk).first(
                                                std::min(chunk.size(), limit - body.size()))));
        if (n == 0) break;
        body.append(chunk.data(), n);
    }
    return body;
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

TEST(BodyReaders, FinalResponseBodyFramedAndDecoded) {
    const std::string gzip_body(
        "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xcb\x48\xcd\xc9\xc9\xd7\x51\x48\xca\x4f\xa9\x04"
        "\x00\x0a\xcc\xf0\xbd\x0b\x00\x00\x00",
        31);
    struct Case {
        std::string_view name;
        std::string response;
        std::string body;
    };
    const Case cases[] = {
        {"chunked identity",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "abc"},
        {"gzip by content-encoding",
         "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\ncontent-length: 31\r\n\r\n" + gzip_body,
         "hello, body"},
        {"gzip by transfer-encoding, chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n1f\r\n" + gzip_body + "\r\n0\r\n\r\n",
         "hello, body"},
        {"until the connection ends", "HTTP/1.1 200 OK\r\n\r\nto the end", "to the end"},
    };
    for (const Case& c : cases) {
        test::ScriptedServer server({script::respond(c.response)});
        HttpClient client;
        const std::string url = server.url("/");
        auto request = openAndSend(client, url);
        ASSERT_TRUE(request) << c.name;
        std::array<char, kRedirectBufferSize> redirects{};
        const auto response = receiveHead(*request, redirects);
        ASSERT_TRUE(response) << c.name << ": " << errorName(response.error());
        std::vector<char> workspace(kInflateWorkspaceSize);
        DecodingBodyReader body = decodingBodyReader(*request, *response, workspace);
        const auto text = readBody(body);
        ASSERT_TRUE(text) << c.name;
        EXPECT_EQ(*text, c.body) << c.name;
        closeRequest(*request);
    }
}

}  // namespace
}  // namespace qs
