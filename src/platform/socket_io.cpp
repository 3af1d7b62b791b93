#include "platform/socket_io.hpp"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "platform/process_state.hpp"

namespace qs::platform {

namespace {

Error socketError(int e) {
    switch (e) {
    case EPIPE: return Error::BrokenPipe;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    case ETIMEDOUT: return Error::ConnectionTimedOut;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN: return Error::WouldBlock;
    case ENOBUFS:
    case ENOMEM: return Error::SystemResources;
    default: return Error::Unexpected;
    }
}

Error pollError(int e) {
    switch (e) {
    case ENOMEM: return Error::SystemResources;
    default: return Error::Unexpected;
    }
}

std::int64_t nowMs() { return static_cast<std::int64_t>(monotonicMilliseconds()); }

Result<void> giveUp(SocketLimits& limits, Error why) {
    if (!limits.ended_by) limits.ended_by = why;
    return std::unexpected(why);
}

}  // namespace

Result<void> checkLimits(SocketLimits& limits) {
    if (shutdownRequested()) return giveUp(limits, Error::Interrupted);
    if (limits.deadline_ms != 0 && nowMs() >= limits.deadline_ms)
        return giveUp(limits, Error::TimedOut);
    return {};
}

Result<void> waitForSocket(int fd, SocketReady ready, SocketLimits& limits) {
    const std::int64_t start = nowMs();
    std::int64_t until = 0;  // 0: no limit
    if (limits.single_wait_ms != 0) until = start + limits.single_wait_ms;
    if (limits.deadline_ms != 0 && (until == 0 || limits.deadline_ms < until))
        until = limits.deadline_ms;
    for (;;) {
        if (shutdownRequested()) return giveUp(limits, Error::Interrupted);
        int timeout_ms = -1;
        if (until != 0) {
            const std::int64_t left = until - nowMs();
            if (left <= 0) return giveUp(limits, Error::TimedOut);
            // poll takes an int; longer limits are waited out in pieces.
            timeout_ms = left > 86'400'000 ? 86'400'000 : static_cast<int>(left);
        }
        pollfd entries[2]{};
        entries[0].fd = fd;
        entries[0].events = ready == SocketReady::readable ? POLLIN : POLLOUT;
        // A negative descriptor is ignored by poll: without the handlers
        // installed only the flag, checked above, can stop the wait.
        entries[1].fd = stopWakeupDescriptor();
        entries[1].events = POLLIN;
        const int count = ::poll(entries, 2, timeout_ms);
        if (count < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(pollError(errno));
        }
        if (entries[1].revents != 0 || shutdownRequested())
            return giveUp(limits, Error::Interrupted);
        if (entries[0].revents != 0) return {};
        // count == 0: the limit passed, which the next turn reports.
    }
}

Result<std::size_t> socketReceive(int fd, std::span<char> out) {
    for (;;) {
        const ssize_t n = ::recv(fd, out.data(), out.size(), 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return std::unexpected(socketError(errno));
    }
}

Result<std::size_t> socketReceive(int fd, std::span<char> out, SocketLimits& limits) {
    QS_TRY(checkLimits(limits));
    for (;;) {
        auto received = socketReceive(fd, out);
        if (received || received.error() != Error::WouldBlock) return received;
        QS_TRY(waitForSocket(fd, SocketReady::readable, limits));
    }
}

Result<std::size_t> socketSend(int fd, std::string_view bytes) {
    for (;;) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return std::unexpected(socketError(errno));
    }
}

Result<void> socketSendAll(int fd, std::string_view bytes, SocketLimits& limits) {
    QS_TRY(checkLimits(limits));
    while (!bytes.empty()) {
        auto sent = socketSend(fd, bytes);
        if (!sent && sent.error() == Error::WouldBlock) {
            QS_TRY(waitForSocket(fd, SocketReady::writable, limits));
            continue;
        }
        if (!sent) return std::unexpected(sent.error());
        bytes.remove_prefix(*sent);
    }
    return {};
}

Result<void> socketSendAll(int fd, std::string_view bytes) {
    SocketLimits none;
    return socketSendAll(fd, bytes, none);
}

}  // namespace qs::platform
