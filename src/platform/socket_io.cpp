#include "platform/socket_io.hpp"

#include <cerrno>
#include <sys/socket.h>

namespace qs::platform {

namespace {

Error socketError(int e) {
    switch (e) {
    case EPIPE: return Error::BrokenPipe;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    case ETIMEDOUT: return Error::ConnectionTimedOut;
    case EAGAIN: return Error::WouldBlock;
    case ENOBUFS:
    case ENOMEM: return Error::SystemResources;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<std::size_t> socketReceive(int fd, std::span<char> out) {
    for (;;) {
        const ssize_t n = ::recv(fd, out.data(), out.size(), 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return std::unexpected(socketError(errno));
    }
}

Result<void> socketSendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(socketError(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

}  // namespace qs::platform
