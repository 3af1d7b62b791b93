// The client's connection pool against a scripted loopback server.
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
#include "support/http_exchange.hpp"
#include "support/scripted_server.hpp"

namespace qs {
namespace {

using namespace std::chrono_literals;
namespace script = test::script;

constexpr std::string_view kOk = "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok";

using test::getOnce;
using test::openAndSend;
using test::readBody;

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
