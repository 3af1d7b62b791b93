#pragma once
// The bundle's post_sync command: one run of "/bin/sh -c {command}" with an
// empty environment, waited for to its end.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/error.hpp"

namespace qs {

// The longest command accepted, in bytes: it is copied with its NUL into a
// fixed 4096-byte buffer on the stack.
inline constexpr std::size_t kMaxPostSyncCommand = 4095;

// After SIGTERM to a hook that outlived its time, how long it and its
// descendants get to finish before SIGKILL.
inline constexpr std::int64_t kHookKillGraceMilliseconds = 5000;

// Logs "running post_sync", runs the command and logs its outcome. Returns
// HookFailed when the command is too long, cannot be started, is ended by a
// signal or exits with a code other than 0 (127: /bin/sh not executable).
// Blocks until the child has ended; a shutdown signal meanwhile does not cut
// the wait short.
//
// With `timeout_seconds` (0: none) the command runs in a process group of
// its own; still running after that long, it is logged as timed out and
// the whole group gets SIGTERM, then SIGKILL after the grace period, and
// the result is HookFailed.
[[nodiscard]] Result<void> runPostSync(std::string_view command,
                                       std::uint32_t timeout_seconds = 0);

}  // namespace qs
