#pragma once
// The bundle's hooks: one run of "/bin/sh -c {command}" with an environment
// of the agent's own variables only, waited for to its end. post_sync runs
// after an install and never undoes it; pre_switch runs before the switch
// and may refuse the new version.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

// The longest command accepted, in bytes: it is copied with its NUL into a
// fixed 4096-byte buffer on the stack.
inline constexpr std::size_t kMaxPostSyncCommand = 4095;

// After SIGTERM to a hook that outlived its time, how long it and its
// descendants get to finish before SIGKILL.
inline constexpr std::int64_t kHookKillGraceMilliseconds = 5000;

// What a hook gets besides its command: its whole environment ("NAME=value"
// strings; none by default), its working directory (empty: the agent's) and
// how long it may run (0: no limit). With a limit the command runs in a
// process group of its own; still running after that long, it is logged as
// timed out and the whole group gets SIGTERM, then SIGKILL after the grace
// period, so a stuck helper it forked goes with it.
struct HookContext {
    std::span<const std::string> environment;
    std::string_view working_dir;
    std::uint32_t timeout_seconds = 0;
};

// Logs "running post_sync", runs the command and logs its outcome. Returns
// HookFailed when the command is too long, cannot be started, is ended by a
// signal or exits with a code other than 0 (127: /bin/sh not executable).
// Blocks until the child has ended or its time limit has passed; a shutdown
// signal meanwhile does not cut the wait short.
//
// A run past the context's time limit is HookFailed.
[[nodiscard]] Result<void> runPostSync(std::string_view command, const HookContext& context = {});

// How a hook run ended: accepted (exit 0), or not with the reason an
// operator reads ("exited with code 1", "killed by signal 9", "timed out
// after 5 seconds", "command too long (5000 bytes)",
// "fork failed: error.SystemResources").
struct HookVerdict {
    bool accepted = false;
    std::string refusal;
};

// runPostSync, logging the same lines, with the reason of a failure.
[[nodiscard]] HookVerdict runPostSyncVerdict(std::string_view command, const HookContext& context);

// Logs "running pre_switch", runs the command and returns its verdict; an
// accepted run logs "pre_switch completed successfully", a refusal is left
// to the caller, who knows the version it refuses.
[[nodiscard]] HookVerdict runPreSwitch(std::string_view command, const HookContext& context);

}  // namespace qs
