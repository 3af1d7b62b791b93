// The client's time limits against scripted servers that stall or keep
// sending, over plain TCP and over TLS alike.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>

#include "http/body_reader.hpp"
#include "http/client.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"
#include "support/certificates.hpp"
#include "support/http_exchange.hpp"
#include "support/scripted_server.hpp"

namespace qs {
namespace {

using namespace std::chrono_literals;
namespace script = test::script;

// A server that never stops sending: the body's announced length is far
// beyond anything the test reads, so only the whole-fetch limit ends it.
TEST(TimeLimits, WholeFetchLimitEndsABodyThatKeepsArriving) {
    const test::Certificate leaf = test::leafFor({"localhost"});
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        test::ScriptedServerOptions options{.lifetime = 10s};
        if (tls) options.tls_chain = {leaf, test::pki().intermediate};
        test::ScriptedServer server(
            {{script::request(),
              script::send("HTTP/1.1 200 OK\r\ncontent-length: 1000000000000\r\n\r\n"),
              script::flood(std::string(64 * 1024, 'x'))}},
            options);
        HttpClient client;
        test::trust(client.trustStore(), test::pki().root);
        client.trustStore().markLoaded();
        client.setTimeLimits(TimeLimits{.io_seconds = 1, .total_seconds = 2});
        const std::string url = server.url("/endless", "localhost");
        auto request = test::openAndSend(client, url);
        ASSERT_TRUE(request) << errorName(request.error());
        std::array<char, kRedirectBufferSize> redirects{};
        const auto response = receiveHead(*request, redirects);
        ASSERT_TRUE(response) << errorName(response.error());
        BodyReader body = bodyReader(*request);
        std::array<char, 16384> buffer{};
        std::uint64_t total = 0;
        Result<std::size_t> n = std::size_t{0};
        do {
            n = body.read(buffer);
            if (n) total += *n;
            // A reader slower than the server, as one writing to a disk
            // is: the socket always holds more, so no read ever waits.
            std::this_thread::sleep_for(1ms);
        } while (n && *n != 0);
        ASSERT_FALSE(n) << total << " bytes, then the end";
        EXPECT_EQ(client.socketLimits().ended_by, Error::TimedOut) << total << " bytes";
        closeRequest(*request);
    }
}

}  // namespace
}  // namespace qs
