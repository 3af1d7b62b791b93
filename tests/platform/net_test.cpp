#include "platform/net.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/scripted_server.hpp"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;

// A loopback port that refuses connections: bound, never listening, and held
// for the test so no one else can take it.
class RefusingPort {
public:
    explicit RefusingPort(int family = AF_INET) {
        fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length = test::loopbackAddress(family == AF_INET6, address);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        port_ = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
    }
    ~RefusingPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    [[nodiscard]] bool ok() const { return ok_; }
    [[nodiscard]] std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::uint16_t port_ = 0;
};

bool ipv6LoopbackAvailable() { return RefusingPort(AF_INET6).ok(); }

TEST(Net, ResolvesNumericAndNamedLoopback) {
    const auto numeric = resolveHost("127.0.0.1", 8080);
    ASSERT_TRUE(numeric) << errorName(numeric.error());
    ASSERT_EQ(numeric->size(), 1u);
    EXPECT_EQ((*numeric)[0].family, AF_INET);
    EXPECT_EQ((*numeric)[0].length, sizeof(sockaddr_in));

    const auto named = resolveHost("localhost", 80);
    ASSERT_TRUE(named) << errorName(named.error());
    EXPECT_FALSE(named->empty());
}

TEST(Net, UnknownNameFailsWithTheResolverError) {
    const auto result = resolveHost("no-such-host.invalid", 80);
    ASSERT_FALSE(result);
    // .invalid never resolves; a machine without a reachable name server
    // reports that as a temporary failure instead of a negative answer.
    EXPECT_TRUE(result.error() == Error::UnknownHostName ||
                result.error() == Error::TemporaryNameServerFailure)
        << errorName(result.error());
}

TEST(Net, SkipsRefusedAddressesAndConnectsToTheNext) {
    RefusingPort refusing;
    test::ScriptedServer server({{test::script::awaitClose()}});
    auto addresses = resolveHost("127.0.0.1", refusing.port());
    const auto accepting = resolveHost("127.0.0.1", server.port());
    ASSERT_TRUE(addresses && accepting);
    addresses->push_back((*accepting)[0]);

    auto socket = connectStream(*addresses);
    ASSERT_TRUE(socket) << errorName(socket.error());
    EXPECT_TRUE(socket->valid());
}

TEST(Net, AddressWalkCrossesFamilies) {
    // A name with an IPv6 and an IPv4 address (as localhost often has):
    // each attempt needs a socket of its own address's family.
    if (!ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
    struct Case {
        std::string_view name;
        bool refused_first_is_v6;
    };
    const Case cases[] = {{"::1 refused, then 127.0.0.1", true}, {"127.0.0.1 refused, then ::1", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RefusingPort refusing(c.refused_first_is_v6 ? AF_INET6 : AF_INET);
        test::ScriptedServerOptions options;
        options.ipv6_loopback = !c.refused_first_is_v6;
        test::ScriptedServer server({{test::script::awaitClose()}}, options);
        auto addresses = resolveHost(c.refused_first_is_v6 ? "::1" : "127.0.0.1", refusing.port());
        const auto accepting =
            resolveHost(c.refused_first_is_v6 ? "127.0.0.1" : "::1", server.port());
        ASSERT_TRUE(addresses && accepting);
        addresses->push_back((*accepting)[0]);

        auto socket = connectStream(*addresses);
        ASSERT_TRUE(socket) << errorName(socket.error());
        socket = std::unexpected(Error::Unexpected);  // closes it, so the server's script ends
        EXPECT_TRUE(server.waitForFinishedConnections(1, 5s));
    }
}

TEST(Net, EveryAddressRefusedIsConnectionRefused) {
    RefusingPort first;
    RefusingPort second;
    auto addresses = resolveHost("127.0.0.1", first.port());
    const auto other = resolveHost("127.0.0.1", second.port());
    ASSERT_TRUE(addresses && other);
    addresses->push_back((*other)[0]);

    const auto socket = connectStream(*addresses);
    ASSERT_FALSE(socket);
    EXPECT_EQ(socket.error(), Error::ConnectionRefused);
    EXPECT_EQ(connectStream({}).error(), Error::ConnectionRefused);
}

}  // namespace
}  // namespace qs::platform
