#include "platform/net.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/scripted_server.hpp"

namespace qs::platform {
namespace {

// A loopback port that refuses connections: bound, never listening, and held
// for the test so no one else can take it.
class RefusingPort {
public:
    RefusingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    [[nodiscard]] std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

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
