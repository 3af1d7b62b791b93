// receiveHead against a scripted loopback server: heads as they arrive on
// the wire, interim responses, redirects, and interrupted receives.
#include "http/receive_head.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <array>
#include <atomic>
#include <string>

#include "http/request.hpp"
#include "support/http_exchange.hpp"
#include "support/scripted_server.hpp"

namespace qs {
namespace {

using namespace std::chrono_literals;
namespace script = test::script;
using test::openAndSend;
using test::readBody;

const std::string kOk = "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok";

std::string redirectTo(unsigned status, std::string_view location, std::string_view body = "moved") {
    return "HTTP/1.1 " + std::to_string(status) + " Redirect\r\nLocation: " + std::string(location) +
           "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

// The request line of a recorded request.
std::string requestLine(const test::ReceivedRequest& request) {
    return request.bytes.substr(0, request.bytes.find("\r\n"));
}

// One exchange up to the final head, opened at once.
struct Exchange : test::LoopbackGet {
    explicit Exchange(std::string url_text, const RequestOptions& options = {})
        : LoopbackGet(std::move(url_text)) {
        open(options);
    }
    Result<Response> run(std::span<char> buffer = {}) { return head(buffer); }
};

TEST(ReceiveHead, HeadsAsTheyArriveOnTheWire) {
    struct Case {
        std::string_view name;
        test::ConnectionScript script;
        Result<unsigned> expected;
    };
    const Case cases[] = {
        {"plain 200", script::respond(kOk), 200u},
        {"head split across writes",
         {script::request(), script::send("HTTP/1.1 200 OK\r"), script::pause(20ms),
          script::send("\ncontent-length: 0\r\n"), script::pause(20ms), script::send("\r\n")},
         200u},
        {"closed before any byte", {script::request()}, std::unexpected(Error::HttpConnectionClosing)},
        {"closed inside the head", {script::request(), script::send("HTTP/1.1 200 OK\r\nA: b\r\n")},
         std::unexpected(Error::HttpRequestTruncated)},
        {"bare LF head", script::respond("HTTP/1.1 200 OK\ncontent-length: 0\n\n"),
         std::unexpected(Error::HttpHeadersInvalid)},
        {"HTTP/2 status line", script::respond("HTTP/2 200 OK\r\n\r\n"),
         std::unexpected(Error::HttpHeadersInvalid)},
        {"continuation line", script::respond("HTTP/1.1 200 OK\r\nA: b\r\n\tc\r\n\r\n"),
         std::unexpected(Error::HttpHeadersInvalid)},
        {"conflicting lengths",
         script::respond("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 11\r\n\r\n"),
         std::unexpected(Error::HttpHeadersInvalid)},
        {"Chunked in capitals", script::respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"),
         std::unexpected(Error::HttpHeadersInvalid)},
        {"200 with zstd", script::respond("HTTP/1.1 200 OK\r\nContent-Encoding: zstd\r\ncontent-length: 1\r\n\r\nz"),
         std::unexpected(Error::HttpContentEncodingUnsupported)},
        {"200 with compress",
         script::respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: compress\r\ncontent-length: 0\r\n\r\n"),
         std::unexpected(Error::HttpContentEncodingUnsupported)},
        {"304 with zstd", script::respond("HTTP/1.1 304 Not Modified\r\nContent-Encoding: zstd\r\n\r\n"),
         304u},
        {"204", script::respond("HTTP/1.1 204 No Content\r\n\r\n"), 204u},
        {"200 with gzip", script::respond("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\ncontent-length: 0\r\n\r\n"),
         200u},
        // 200 + ('x' - '0') * 10: classed as a server error, returned as final.
        {"status that is no number", script::respond("HTTP/1.1 2x0 x\r\ncontent-length: 0\r\n\r\n"),
         920u},
    };
    for (const Case& c : cases) {
        test::ScriptedServer server({c.script});
        Exchange exchange(server.url("/"));
        const auto response = exchange.run();
        if (c.expected) {
            ASSERT_TRUE(response) << c.name << ": " << errorName(response.error());
            EXPECT_EQ(response->status, *c.expected) << c.name;
        } else {
            ASSERT_FALSE(response) << c.name;
            EXPECT_EQ(response.error(), c.expected.error()) << c.name << ": " << errorName(response.error());
            // A connection left mid-response is never pooled; one whose
            // only fault was a coding not accepted can have its body skipped.
            closeRequest(*exchange.opened);
            const bool reusable = c.expected.error() == Error::HttpContentEncodingUnsupported;
            EXPECT_EQ(exchange.client.idleCount(), reusable ? 1u : 0u) << c.name;
        }
    }
}

// A head of `size` bytes ending in CR LF CR LF, padded with one header.
std::string headOfSize(std::size_t size) {
    const std::string start = "HTTP/1.1 200 OK\r\ncontent-length: 0\r\nX-Pad: ";
    const std::string end = "\r\n\r\n";
    return start + std::string(size - start.size() - end.size(), 'p') + end;
}

TEST(ReceiveHead, HeadLimitIs8192Bytes) {
    struct Case {
        std::size_t size;
        bool accepted;
    };
    for (const Case c : {Case{8192, true}, Case{8193, false}, Case{20000, false}}) {
        test::ScriptedServer server({{script::request(), script::send(headOfSize(c.size)), script::awaitClose()}});
        Exchange exchange(server.url("/"));
        const auto response = exchange.run();
        if (c.accepted) {
            ASSERT_TRUE(response) << c.size << ": " << errorName(response.error());
            EXPECT_EQ(response->head.size(), c.size);
        } else {
            ASSERT_FALSE(response) << c.size;
            EXPECT_EQ(response.error(), Error::HttpHeadersOversize) << c.size;
        }
    }
}

TEST(ReceiveHead, BytesAfterTheHeadStayForTheBody) {
    test::ScriptedServer server({script::respond(kOk)});
    Exchange exchange(server.url("/"));
    const auto response = exchange.run();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->head, "HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n");
    EXPECT_EQ(exchange.opened->connection->reader().buffered(), "ok");
    EXPECT_EQ(exchange.opened->body_state.phase, BodyState::Phase::head_received);
    EXPECT_EQ(exchange.opened->body_state.framing, BodyFraming::content_length);
    EXPECT_EQ(exchange.opened->body_state.remaining, 2u);
}

TEST(ReceiveHead, InterimContinueIsSkippedOnlyWhenAsked) {
    const std::string reply = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\nX: y\r\n\r\n" + kOk;
    for (const bool skip : {true, false}) {
        test::ScriptedServer server({script::respond(reply)});
        RequestOptions options;
        options.handle_continue = skip;
        Exchange exchange(server.url("/"), options);
        const auto response = exchange.run();
        ASSERT_TRUE(response) << skip;
        EXPECT_EQ(response->status, skip ? 200u : 100u);
    }
}

TEST(ReceiveHead, FollowsEachRedirectStatusOnThePooledConnection) {
    for (const unsigned status : {300u, 301u, 302u, 303u, 307u, 308u}) {
        test::ScriptedServer server({{script::request(), script::send(redirectTo(status, "/next?a=1")),
                                      script::request(), script::send(kOk)}});
        Exchange exchange(server.url("/start"));
        const auto response = exchange.run();
        ASSERT_TRUE(response) << status << ": " << errorName(response.error());
        EXPECT_EQ(response->status, 200u);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u) << status;
        EXPECT_EQ(requestLine(requests[1]), "GET /next?a=1 HTTP/1.1") << status;
        EXPECT_EQ(requests[1].connection, 0u) << status;  // the redirect body was skipped
        EXPECT_EQ(exchange.opened->redirect_budget, 2u);
    }
}

TEST(ReceiveHead, ResolvesLocationsAgainstTheCurrentUrl) {
    struct Case {
        std::string_view location;
        std::string_view target;
    };
    const Case cases[] = {
        {"x", "/a/x"},
        {"/new", "/new"},
        {"../up?q", "/up?q"},
        {"?only=query", "/a/b?only=query"},
    };
    for (const Case& c : cases) {
        test::ScriptedServer server({{script::request(), script::send(redirectTo(302, c.location)),
                                      script::request(), script::send(kOk)}});
        Exchange exchange(server.url("/a/b"));
        ASSERT_TRUE(exchange.run()) << c.location;
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u) << c.location;
        EXPECT_EQ(requestLine(requests[1]), "GET " + std::string(c.target) + " HTTP/1.1") << c.location;
    }
}

TEST(ReceiveHead, LocationOnAnotherServerConnectsAnew) {
    struct Case {
        std::string_view name;
        std::string_view host;  // how the location names the target
        bool scheme_relative;
    };
    const Case cases[] = {
        {"absolute", "127.0.0.1", false},
        {"scheme-relative", "127.0.0.1", true},
        {"scheme-relative by name", "localhost", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScriptedServer target({script::respond(kOk)});
        std::string location = target.url("/there", c.host);
        // "//host:port/there" keeps the scheme of the URL it came from.
        if (c.scheme_relative) location = location.substr(std::string_view("http:").size());
        test::ScriptedServer origin({script::respond(redirectTo(301, location))});
        Exchange exchange(origin.url("/here"));
        const auto response = exchange.run();
        ASSERT_TRUE(response) << errorName(response.error());
        ASSERT_EQ(target.requests().size(), 1u);
        EXPECT_EQ(requestLine(target.requests()[0]), "GET /there HTTP/1.1");
        EXPECT_NE(target.requests()[0].bytes.find("host: " + std::string(c.host) + ":" +
                                                  std::to_string(target.port()) + "\r\n"),
                  std::string::npos);
        // The origin's connection went back to the pool when the redirect was left.
        EXPECT_EQ(exchange.client.idleCount(), 1u);
    }
}

TEST(ReceiveHead, ThreeRedirectsAreFollowedAndTheFourthFails) {
    for (const std::size_t redirects : {3u, 4u}) {
        test::ConnectionScript steps;
        for (std::size_t i = 0; i < redirects; ++i) {
            steps.push_back(script::request());
            steps.push_back(script::send(redirectTo(302, "/r" + std::to_string(i + 1))));
        }
        steps.push_back(script::request());
        steps.push_back(script::send(kOk));
        test::ScriptedServer server({steps});
        Exchange exchange(server.url("/r0"));
        const auto response = exchange.run();
        if (redirects == 3) {
            ASSERT_TRUE(response) << errorName(response.error());
            EXPECT_EQ(response->status, 200u);
            EXPECT_EQ(server.requests().size(), 4u);
        } else {
            ASSERT_FALSE(response);
            EXPECT_EQ(response.error(), Error::TooManyHttpRedirects);
            EXPECT_EQ(server.requests().size(), 4u);
            // Its body was skipped, so the connection is still good for reuse.
            closeRequest(*exchange.opened);
            EXPECT_EQ(exchange.client.idleCount(), 1u);
        }
    }
}

TEST(ReceiveHead, RedirectsThatCannotBeFollowed) {
    struct Case {
        std::string_view name;
        std::string response;
        Error expected;
    };
    const Case cases[] = {
        {"no location", "HTTP/1.1 302 Found\r\ncontent-length: 0\r\n\r\n",
         Error::HttpRedirectLocationMissing},
        {"location does not parse", redirectTo(302, "http://[::1/x"), Error::HttpRedirectLocationInvalid},
        {"bad port", redirectTo(302, "http://h:99999/"), Error::HttpRedirectLocationInvalid},
        {"unsupported scheme", redirectTo(302, "ftp://127.0.0.1/x"), Error::UnsupportedUriScheme},
        {"no host", redirectTo(302, "http:///x"), Error::UriMissingHost},
        // Following a redirect never loads the trust store (that would name
        // CertificateBundleLoadFailure); the handshake fails against a server
        // that speaks no TLS.
        {"to https", redirectTo(302, "https://127.0.0.1:{port}/"), Error::TlsInitializationFailed},
        {"host too long", redirectTo(302, "http://" + std::string(300, 'h') + "/"), Error::UriHostTooLong},
        {"chunk invalid in the skipped body",
         "HTTP/1.1 302 Found\r\nLocation: /x\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n",
         Error::HttpChunkInvalid},
        {"chunked body cut short",
         "HTTP/1.1 302 Found\r\nLocation: /x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",
         Error::HttpChunkTruncated},
        {"body cut short", "HTTP/1.1 302 Found\r\nLocation: /x\r\ncontent-length: 9\r\n\r\nabc",
         Error::ReadFailed},
    };
    for (const Case& c : cases) {
        test::ScriptedServer server({script::respond(c.response)});
        Exchange exchange(server.url("/a/b"));
        const auto response = exchange.run();
        ASSERT_FALSE(response) << c.name;
        EXPECT_EQ(response.error(), c.expected) << c.name << ": " << errorName(response.error());
    }
}

TEST(ReceiveHead, LocationsMustFitTheRedirectBuffer) {
    // A small buffer: the location itself does not fit.
    {
        test::ScriptedServer server({script::respond(redirectTo(302, "/" + std::string(64, 'l')))});
        Exchange exchange(server.url("/"));
        std::array<char, 64> small{};
        const auto response = exchange.run(small);
        ASSERT_FALSE(response);
        EXPECT_EQ(response.error(), Error::HttpRedirectLocationOversize);
    }
    // The location fits but the merged path does not.
    {
        test::ScriptedServer server({script::respond(redirectTo(302, std::string(40, 'l')))});
        Exchange exchange(server.url("/dir/" + std::string(30, 'd') + "/file"));
        std::array<char, 64> small{};
        const auto response = exchange.run(small);
        ASSERT_FALSE(response);
        EXPECT_EQ(response.error(), Error::HttpRedirectLocationOversize);
    }
    // The full buffer: followed locations stay in it, so three long ones in
    // a row exhaust it.
    {
        const std::string long_path = "/" + std::string(3000, 'p');
        test::ScriptedServer server({{script::request(), script::send(redirectTo(302, long_path + "1")),
                                      script::request(), script::send(redirectTo(302, long_path + "2")),
                                      script::request(), script::send(redirectTo(302, long_path + "3")),
                                      script::request(), script::send(kOk)}});
        Exchange exchange(server.url("/"));
        const auto response = exchange.run();
        ASSERT_FALSE(response);
        EXPECT_EQ(response.error(), Error::HttpRedirectLocationOversize);
        EXPECT_EQ(server.requests().size(), 3u);
    }
}

TEST(ReceiveHead, MethodRulesOnRedirect) {
    struct Case {
        unsigned status;
        Method method;
        Result<std::string_view> outcome;  // the method of the redirected request
    };
    const Case cases[] = {
        {303, Method::post, std::string_view("GET")},
        {302, Method::post, std::string_view("GET")},
        {301, Method::post, std::string_view("GET")},
        {303, Method::put, std::string_view("GET")},
        {307, Method::post, std::unexpected(Error::RedirectRequiresResend)},
        {308, Method::put, std::unexpected(Error::RedirectRequiresResend)},
        {302, Method::put, std::unexpected(Error::RedirectRequiresResend)},
    };
    for (const Case& c : cases) {
        // The body is never sent, so the server answers without reading it,
        // and closes that connection so the redirected request comes on a
        // new one.
        const std::string redirect = "HTTP/1.1 " + std::to_string(c.status) +
                                     " R\r\nLocation: /next\r\nConnection: close\r\ncontent-length: 0\r\n\r\n";
        test::ScriptedServer server({{script::send(redirect), script::awaitClose()},
                                     script::respond(kOk)});
        HttpClient client;
        const std::string url = server.url("/form");
        auto request = openRequest(client, c.method, *parseUri(url), {});
        ASSERT_TRUE(request);
        request->body = RequestBody::content_length;
        request->body_length = 4;
        request->headers.content_type = HeaderValue::overrideWith("text/plain");
        ASSERT_TRUE(sendHead(*request));
        std::array<char, kRedirectBufferSize> redirects{};
        const auto response = receiveHead(*request, redirects);
        closeRequest(*request);
        if (!c.outcome) {
            ASSERT_FALSE(response) << c.status;
            EXPECT_EQ(response.error(), c.outcome.error()) << c.status;
            continue;
        }
        ASSERT_TRUE(response) << c.status << ": " << errorName(response.error());
        ASSERT_TRUE(server.waitForFinishedConnections(2, 5s));
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requestLine(requests[0]), std::string(*c.outcome) + " /next HTTP/1.1");
        EXPECT_EQ(requests[0].bytes.find("content-length"), std::string::npos);
        EXPECT_EQ(requests[0].bytes.find("content-type"), std::string::npos);
    }
}

TEST(ReceiveHead, AuthorizationFollowsRedirectsOnlyOnTheSameHost) {
    const ExtraHeader extra[] = {
        {"User-Agent", "quillstead/0.3.1"},
        {"Authorization", "Bearer secret"},
    };
    RequestOptions options;
    options.extra_headers = extra;

    // Same host in other letter case: sent again, on the reused connection.
    {
        test::ScriptedServer server(
            {{script::request(), script::send(redirectTo(301, "http://LocalHost:{port}/case")),
              script::request(), script::send(kOk)}});
        Exchange exchange(server.url("/start", "localhost"), options);
        ASSERT_TRUE(exchange.run());
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].connection, 0u);
        EXPECT_EQ(requestLine(requests[1]), "GET /case HTTP/1.1");
        EXPECT_NE(requests[1].bytes.find("\r\nhost: LocalHost:" + std::to_string(server.port())),
                  std::string::npos);
        EXPECT_NE(requests[1].bytes.find("\r\nAuthorization: Bearer secret\r\n"), std::string::npos);
    }
    // Same host (a relative location): sent again, on the reused connection.
    {
        test::ScriptedServer server(
            {{script::request(), script::send(redirectTo(302, "/same")), script::request(),
              script::send(kOk)}});
        Exchange exchange(server.url("/start", "localhost"), options);
        ASSERT_TRUE(exchange.run());
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].connection, 0u);
        EXPECT_NE(requests[1].bytes.find("\r\nAuthorization: Bearer secret\r\n"), std::string::npos);
        EXPECT_NE(requests[1].bytes.find("\r\nUser-Agent: quillstead/0.3.1\r\n"), std::string::npos);
    }
    // Another host name for the same server: dropped, the other extra
    // headers still sent.
    {
        test::ScriptedServer target({script::respond(kOk)});
        test::ScriptedServer origin({script::respond(redirectTo(302, target.url("/other", "localhost")))});
        Exchange exchange(origin.url("/start", "127.0.0.1"), options);
        ASSERT_TRUE(exchange.run());
        ASSERT_EQ(origin.requests().size(), 1u);
        EXPECT_NE(origin.requests()[0].bytes.find("\r\nAuthorization: Bearer secret\r\n"), std::string::npos);
        ASSERT_EQ(target.requests().size(), 1u);
        const std::string moved = target.requests()[0].bytes;
        EXPECT_EQ(moved.find("uthorization"), std::string::npos) << moved;
        EXPECT_NE(moved.find("\r\nUser-Agent: quillstead/0.3.1\r\n"), std::string::npos);
    }
}

std::atomic<int> g_alarms{0};
extern "C" void countAlarm(int) { g_alarms.fetch_add(1, std::memory_order_relaxed); }

TEST(ReceiveHead, SignalsDuringABlockingReceiveDoNotFailIt) {
    // A handler without SA_RESTART, as the daemon installs them: every
    // signal makes the blocked recv return EINTR.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = countAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
    g_alarms = 0;

    test::ScriptedServer server({{script::request(), script::pause(300ms), script::send(kOk)}});
    Exchange exchange(server.url("/"));
    itimerval timer{};
    timer.it_interval.tv_usec = 5000;
    timer.it_value.tv_usec = 5000;
    ASSERT_EQ(::setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const auto response = exchange.run();
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);

    ASSERT_TRUE(response) << errorName(response.error());
    EXPECT_EQ(response->status, 200u);
    EXPECT_GT(g_alarms.load(), 5);
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
