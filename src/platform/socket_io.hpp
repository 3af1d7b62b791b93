#pragma once
// Byte transfer on a connected socket. Writes use MSG_NOSIGNAL; both calls
// retry after EINTR, so a shutdown signal never cuts a transfer short.

#include <cstddef>
#include <span>
#include <string_view>

#include "util/error.hpp"

namespace qs::platform {

// One recv(2); 0 at the end of the connection.
// Errors: ConnectionResetByPeer, ConnectionTimedOut, WouldBlock, SystemResources, Unexpected.
[[nodiscard]] Result<std::size_t> socketReceive(int fd, std::span<char> out);

// send(2) until every byte is out.
// Errors: BrokenPipe, ConnectionResetByPeer, ConnectionTimedOut, WouldBlock,
// SystemResources, Unexpected.
[[nodiscard]] Result<void> socketSendAll(int fd, std::string_view bytes);

}  // namespace qs::platform
