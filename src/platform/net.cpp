#include "platform/net.hpp"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <string>
#include <sys/socket.h>

namespace qs::platform {

namespace {

Error resolveError(int code) {
    switch (code) {
    case EAI_NONAME: return Error::UnknownHostName;
    case EAI_AGAIN: return Error::TemporaryNameServerFailure;
    case EAI_FAIL: return Error::NameServerFailure;
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return Error::HostLacksNetworkAddresses;
#endif
#ifdef EAI_NODATA
    case EAI_NODATA: return Error::HostLacksNetworkAddresses;
#endif
    case EAI_FAMILY:
    case EAI_MEMORY:
    case EAI_SERVICE:
    case EAI_SYSTEM:
    default: return Error::UnexpectedConnectFailure;
    }
}

Error connectError(int e) {
    switch (e) {
    case ECONNREFUSED: return Error::ConnectionRefused;
    case ENETUNREACH:
    case EHOSTUNREACH: return Error::NetworkUnreachable;
    case ETIMEDOUT: return Error::ConnectionTimedOut;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    default: return Error::UnexpectedConnectFailure;
    }
}

struct AddrInfoList {
    addrinfo* head = nullptr;
    ~AddrInfoList() {
        if (head != nullptr) ::freeaddrinfo(head);
    }
};

// 0 when connected, else the errno of the attempt; -1 when the wait for it
// gave up (the reason is in limits.ended_by or `waited`).
int connectOnce(int fd, const SocketAddress& address, SocketLimits& limits, Error& waited) {
    sockaddr_storage storage{};
    std::memcpy(&storage, address.bytes.data(), address.length);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&storage), address.length) == 0) return 0;
    // The attempt goes on in the kernel (an interrupted one too: calling
    // connect again would only report EALREADY), so wait until the socket is
    // writable and take the attempt's own outcome from SO_ERROR.
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    if (auto ready = waitForSocket(fd, SocketReady::writable, limits); !ready) {
        waited = ready.error();
        return -1;
    }
    int outcome = 0;
    socklen_t length = sizeof outcome;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &outcome, &length) != 0) return errno;
    return outcome;
}

}  // namespace

Result<std::vector<SocketAddress>> resolveHost(std::string_view host, std::uint16_t port) {
    try {
        const std::string name(host);
        const std::string service = std::to_string(port);
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICSERV;
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        AddrInfoList list;
        int code = 0;
        do {
            code = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &list.head);
        } while (code == EAI_SYSTEM && errno == EINTR);
        if (code != 0) return std::unexpected(resolveError(code));

        std::vector<SocketAddress> addresses;
        for (const addrinfo* entry = list.head; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_addr == nullptr) continue;
            std::size_t length = 0;
            if (entry->ai_family == AF_INET) length = sizeof(sockaddr_in);
            else if (entry->ai_family == AF_INET6) length = sizeof(sockaddr_in6);
            else continue;
            if (entry->ai_addrlen < length) continue;
            SocketAddress address;
            address.family = entry->ai_family;
            address.length = static_cast<std::uint32_t>(length);
            std::memcpy(address.bytes.data(), entry->ai_addr, length);
            addresses.push_back(address);
        }
        if (addresses.empty()) return std::unexpected(Error::UnknownHostName);
        return addresses;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::UnexpectedConnectFailure);
    }
}

Result<Fd> connectStream(std::span<const SocketAddress> addresses, SocketLimits& limits) {
    static_assert(sizeof(sockaddr_in6) <= sizeof(SocketAddress::bytes));
    for (const SocketAddress& address : addresses) {
        Fd socket(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
        if (!socket) return std::unexpected(Error::UnexpectedConnectFailure);
        Error waited = Error::Unexpected;
        const int outcome = connectOnce(socket.get(), address, limits, waited);
        if (outcome < 0) return std::unexpected(waited);
        if (outcome == 0) return socket;
        if (outcome == ECONNREFUSED) continue;
        return std::unexpected(connectError(outcome));
    }
    return std::unexpected(Error::ConnectionRefused);
}

Result<Fd> connectStream(std::span<const SocketAddress> addresses) {
    SocketLimits none;
    return connectStream(addresses, none);
}

}  // namespace qs::platform
