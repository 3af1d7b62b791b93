#pragma once
// The bundle's post_sync command: one run of "/bin/sh -c {command}" with an
// empty environment, waited for to its end.

#include <cstddef>
#include <string_view>

#include "util/error.hpp"

namespace qs {

// The longest command accepted, in bytes: it is copied with its NUL into a
// fixed 4096-byte buffer on the stack.
inline constexpr std::size_t kMaxPostSyncCommand = 4095;

// Logs "running post_sync", runs the command and logs its outcome. Returns
// HookFailed when the command is too long, cannot be started, is ended by a
// signal or exits with a code other than 0 (127: /bin/sh not executable).
// Blocks until the child has ended; a shutdown signal meanwhile does not cut
// the wait short.
[[nodiscard]] Result<void> runPostSync(std::string_view command);

}  // namespace qs
