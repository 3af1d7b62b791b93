// Requests over TLS to real OpenSSL servers on 127.0.0.1: what a redirect
// may do to the protection and the credentials of a request, and when a
// body framed by the end of the connection is complete.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "http/body_reader.hpp"
#include "http/client.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"
#include "tls/trust_store.hpp"
#include "support/certificates.hpp"
#include "support/http_exchange.hpp"
#include "support/scripted_server.hpp"
#include "support/tls_server.hpp"

namespace qs {
namespace {

namespace script = test::script;
using test::Certificate;
using test::makeCertificate;

struct Pki {
    Certificate root =
        makeCertificate({.common_name = "Exchange Root", .key = test::KeyKind::rsa2048, .ca = true});
    Certificate leaf = makeCertificate({.common_name = "leaf", .dns_names = {"localhost"}}, &root);
};

const Pki& pki() {
    static const Pki instance;
    return instance;
}

std::string httpsUrl(std::uint16_t port, std::string_view path) {
    return "https://localhost:" + std::to_string(port) + std::string(path);
}

// One GET through a client that trusts the test root, with the extra
// headers given, up to the final head and (when it succeeds) the body.
struct TlsExchange : test::LoopbackGet {
    explicit TlsExchange(const std::string& url_text, std::span<const ExtraHeader> extra = {})
        : LoopbackGet(url_text) {
        EXPECT_TRUE(addPemCertificates(client.trustStore(), pki().root.pem(), test::nowSeconds()));
        client.trustStore().markLoaded();
        RequestOptions options;
        options.extra_headers = extra;
        open(options);
    }

    // The whole body, or the reader's failure with what it recorded.
    Result<std::string> body() {
        BodyReader reader = bodyReader(*opened);
        std::string text;
        std::array<char, 512> buffer{};
        for (;;) {
            QS_TRY_ASSIGN(const std::size_t n, reader.read(buffer));
            if (n == 0) return text;
            text.append(buffer.data(), n);
        }
    }
};

const ExtraHeader kCredentials[] = {{"Authorization", "Bearer secret"}};

std::string redirectTo(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nlocation: " + location + "\r\ncontent-length: 0\r\n\r\n";
}

test::TlsServerOptions serving(std::string response) {
    test::TlsServerOptions options;
    options.chain = {pki().leaf};
    options.read_until = "\r\n\r\n";
    options.response = std::move(response);
    options.close = test::ServerClose::notify;
    return options;
}

// What came over TLS never goes on over plain text: not the request with
// its credentials, not the payload that answers it.
TEST(TlsExchange, RedirectFromHttpsToHttpIsRefused) {
    test::ScriptedServer plain({script::respond("HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok")});
    test::TlsTestServer origin(serving(redirectTo(plain.url("/payload", "localhost"))));
    TlsExchange exchange(httpsUrl(origin.port(), "/start"), kCredentials);
    const auto response = exchange.head();
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error(), Error::HttpRedirectDowngrade) << errorName(response.error());
    origin.join();
    EXPECT_NE(origin.received().find("\r\nAuthorization: Bearer secret\r\n"), std::string::npos);
    EXPECT_TRUE(plain.requests().empty());
}

// The configured credentials belong to the origin: scheme, host and port.
TEST(TlsExchange, AuthorizationStaysWithTheOrigin) {
    test::TlsTestServer target(serving("HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok"));
    test::TlsTestServer origin(serving(redirectTo(httpsUrl(target.port(), "/moved"))));
    TlsExchange exchange(httpsUrl(origin.port(), "/start"), kCredentials);
    const auto response = exchange.head();
    ASSERT_TRUE(response) << errorName(response.error());
    EXPECT_EQ(response->status, 200);
    origin.join();
    target.join();
    EXPECT_NE(origin.received().find("\r\nAuthorization: Bearer secret\r\n"), std::string::npos);
    EXPECT_EQ(target.received().find("uthorization"), std::string::npos) << target.received();
    EXPECT_EQ(target.received().substr(0, 21), "GET /moved HTTP/1.1\r\n");
}

// A body that only the end of the connection frames is whole over TLS only
// when the server said so with close_notify; anyone on the path can end the
// TCP connection. The other framings say themselves where the body ends.
TEST(TlsExchange, UntilCloseBodiesNeedCloseNotify) {
    const std::string body(3000, 'b');
    struct Case {
        const char* name;
        std::string response;
        test::ServerClose close;
        std::optional<Error> recorded;  // nothing: the whole body arrives
    };
    const Case cases[] = {
        {"until close, close_notify", "HTTP/1.1 200 OK\r\n\r\n" + body, test::ServerClose::notify,
         std::nullopt},
        {"until close, TCP end only", "HTTP/1.1 200 OK\r\n\r\n" + body, test::ServerClose::silent,
         Error::UnexpectedEndOfStream},
        {"content-length, TCP end only",
         "HTTP/1.1 200 OK\r\ncontent-length: 3000\r\n\r\n" + body, test::ServerClose::silent,
         std::nullopt},
        {"chunked, TCP end only",
         "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\nbb8\r\n" + body + "\r\n0\r\n\r\n",
         test::ServerClose::silent, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TlsServerOptions options = serving(c.response);
        options.close = c.close;
        test::TlsTestServer server(std::move(options));
        TlsExchange exchange(httpsUrl(server.port(), "/raw"));
        const auto response = exchange.head();
        ASSERT_TRUE(response) << errorName(response.error());
        const auto received = exchange.body();
        if (!c.recorded) {
            ASSERT_TRUE(received) << errorName(received.error());
            EXPECT_EQ(*received, body);
        } else {
            ASSERT_FALSE(received);
            EXPECT_EQ(received.error(), Error::ReadFailed);
            EXPECT_EQ(exchange.opened->body_state.body_error, c.recorded);
        }
        server.join();
    }
}

// A client reads its trust store when a connection first needs TLS, not
// before: a plain HTTP exchange opens no certificate file, and a redirect
// to https loads the store then, once.
TEST(TlsExchange, TrustStoreIsLoadedOnlyWhenAConnectionNeedsTls) {
    static int loads;
    loads = 0;
    test::TlsTestServer origin(serving("HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok"));
    test::ScriptedServer plain(
        {script::respond("HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 2\r\n\r\nok"),
         script::respond(redirectTo(httpsUrl(origin.port(), "/moved")))});
    HttpClient client;
    client.setTrustStoreLoader([](TrustStore& store) {
        ++loads;
        (void)addPemCertificates(store, pki().root.pem(), test::nowSeconds());
        store.markLoaded();
    });
    const auto status = [&](const std::string& url) -> Result<unsigned> {
        std::array<char, kRedirectBufferSize> redirects{};
        QS_TRY_ASSIGN(const auto uri, parseUri(url));
        QS_TRY_ASSIGN(auto request, openRequest(client, Method::get, uri, {}));
        auto response = sendHead(request);
        Result<unsigned> result = std::unexpected(Error::Unexpected);
        if (response) {
            auto head = receiveHead(request, redirects);
            result = head ? Result<unsigned>(head->status) : std::unexpected(head.error());
        } else {
            result = std::unexpected(response.error());
        }
        closeRequest(request);
        return result;
    };

    const auto first = status(plain.url("/plain", "localhost"));
    ASSERT_TRUE(first) << errorName(first.error());
    EXPECT_EQ(*first, 200u);
    EXPECT_EQ(loads, 0);

    const auto redirected = status(plain.url("/start", "localhost"));
    ASSERT_TRUE(redirected) << errorName(redirected.error());
    EXPECT_EQ(*redirected, 200u);
    EXPECT_EQ(loads, 1);
    origin.join();
}

}  // namespace
}  // namespace qs
