#pragma once
// Name resolution and TCP connection set-up. Byte transfer on the connected
// socket lives in socket_io. Connecting waits through waitForSocket, so its
// limits and a stop signal end it; name resolution is one blocking
// getaddrinfo(3) call that neither can cut short (a numeric host needs no
// lookup at all; a name waits as long as the resolver's own time-outs).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/fd.hpp"
#include "platform/socket_io.hpp"
#include "util/error.hpp"

namespace qs::platform {

// One resolved IPv4 or IPv6 address with its port, as the resolver gave it.
struct SocketAddress {
    int family = 0;
    // Large enough for sockaddr_in6 (28 bytes), the biggest address kept.
    std::array<unsigned char, 28> bytes{};
    std::uint32_t length = 0;
};

// getaddrinfo(3) for a stream connection to `host` (copied into a
// NUL-terminated string) and `port` (numeric service). Every entry that
// carries an IPv4 or IPv6 address is kept, in the resolver's order.
// Errors: UnknownHostName (also when nothing usable comes back),
// TemporaryNameServerFailure, NameServerFailure, HostLacksNetworkAddresses,
// UnexpectedConnectFailure (any other resolver failure, lack of memory
// included).
[[nodiscard]] Result<std::vector<SocketAddress>> resolveHost(std::string_view host,
                                                             std::uint16_t port);

// Tries the addresses in order and returns the first connected stream
// socket (close-on-exec, non-blocking: every later transfer on it waits
// through waitForSocket). A refused address is skipped; any other failure
// ends the attempt with its error, because the next address would most
// likely fail the same way and only hide the cause.
// Errors: ConnectionRefused (every address refused, or none given),
// NetworkUnreachable, ConnectionTimedOut, ConnectionResetByPeer,
// UnexpectedConnectFailure (socket creation and every other connect error),
// and those of waitForSocket (Interrupted, TimedOut) while the connection
// is being set up.
[[nodiscard]] Result<Fd> connectStream(std::span<const SocketAddress> addresses,
                                       SocketLimits& limits);
// The same with no time limit (a stop signal still ends it).
[[nodiscard]] Result<Fd> connectStream(std::span<const SocketAddress> addresses);

}  // namespace qs::platform
