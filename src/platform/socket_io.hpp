#pragma once
// Byte transfer on a connected socket, and the one wait every network step
// goes through. Writes use MSG_NOSIGNAL.
//
// The agent's sockets are non-blocking: a step that must wait does so in
// waitForSocket, which ends as soon as a stop signal arrives or a time limit
// passes, so a silent server can hold a fetch only as long as its limits
// allow and never hold up a shutdown.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "util/error.hpp"

namespace qs::platform {

enum class SocketReady : std::uint8_t { readable, writable };

// The time limits of the waits of one exchange, shared by every step of it
// (connect, TLS, send, receive). Times are monotonic milliseconds
// (monotonicMilliseconds of process_state), so a change of the system time
// moves no limit.
struct SocketLimits {
    // The longest single wait for the socket; 0: no limit.
    std::int64_t single_wait_ms = 0;
    // The instant by which every wait must be over; 0: none.
    std::int64_t deadline_ms = 0;
    // Set by the wait that gave up (TimedOut or Interrupted) and kept, so
    // that the layers above, which report a failed read as ReadFailed, can
    // still tell why the exchange ended.
    std::optional<Error> ended_by;
};

// Before a transfer: a stop or a passed deadline ends the exchange even
// when the socket never makes anyone wait (a peer that keeps sending).
// Errors: Interrupted, TimedOut, also recorded in limits.ended_by.
[[nodiscard]] Result<void> checkLimits(SocketLimits& limits);

// poll(2) on `fd` until it is ready as asked (an error or hang-up on the
// socket counts as ready: the next transfer reports it). The stop signal's
// wake-up descriptor is watched too, and the stop flag is looked at after
// every interruption, so a stop ends the wait at once.
// Errors: Interrupted (stop requested), TimedOut (single wait or deadline
// passed), SystemResources, Unexpected. Either of the first two is also
// recorded in limits.ended_by.
[[nodiscard]] Result<void> waitForSocket(int fd, SocketReady ready, SocketLimits& limits);

// One recv(2); 0 at the end of the connection. On a non-blocking socket
// WouldBlock means nothing is there yet.
// Errors: ConnectionResetByPeer, ConnectionTimedOut, WouldBlock, SystemResources, Unexpected.
[[nodiscard]] Result<std::size_t> socketReceive(int fd, std::span<char> out);

// recv(2) that waits through waitForSocket while nothing is there: some
// bytes, or 0 at the end of the connection. Also fails with Interrupted or
// TimedOut before reading when the stop flag is set or the deadline passed,
// so a server that keeps sending cannot outlast the limit either.
[[nodiscard]] Result<std::size_t> socketReceive(int fd, std::span<char> out, SocketLimits& limits);

// One send(2) of as much of `bytes` as the socket takes now.
// Errors: BrokenPipe, ConnectionResetByPeer, ConnectionTimedOut, WouldBlock,
// SystemResources, Unexpected.
[[nodiscard]] Result<std::size_t> socketSend(int fd, std::string_view bytes);

// send(2) until every byte is out, waiting through waitForSocket whenever
// the socket is full. Errors: those of socketSend (not WouldBlock) and of
// waitForSocket.
[[nodiscard]] Result<void> socketSendAll(int fd, std::string_view bytes, SocketLimits& limits);

// The same without limits: waits as long as it takes, but a stop signal
// still ends it (Interrupted).
[[nodiscard]] Result<void> socketSendAll(int fd, std::string_view bytes);

}  // namespace qs::platform
