#pragma once
// Running a shell command in a child process and waiting for its end.

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs::platform {

// Whether the child stays in the agent's process group (and so gets what a
// terminal sends the agent) or leads a group of its own, which can then be
// ended as a whole, descendants included.
enum class ProcessGroup : std::uint8_t { shared, own };

// How a child ended: by a signal (`signal` not 0), or by exiting with
// `exit_code`.
struct ChildEnd {
    int signal = 0;
    int exit_code = 0;
};

// fork(2), then in the child execve(2) of "/bin/sh" "-c" `command` with an
// empty environment; a failed execve ends the child with status 127, as a
// shell does for a command it cannot run. The child keeps the standard
// descriptors; handled signals revert to their defaults at execve.
// `command` is NUL-terminated. With ProcessGroup::own the child's process
// group ID is its process ID. Returns the child's process ID.
// Errors of fork: SystemResources, Unexpected.
[[nodiscard]] Result<int> startShellCommand(const char* command,
                                            ProcessGroup group = ProcessGroup::shared);

// The same with `environment` ("NAME=value" strings, null-terminated list)
// as the child's whole environment and, when `working_dir` is not null, that
// directory as its working directory; a working directory the child cannot
// enter ends it with status 127 before the shell starts.
// With `output_fd` not -1 the child writes its standard output and error
// there instead of the agent's.
[[nodiscard]] Result<int> startShellCommand(const char* command, char* const* environment,
                                            const char* working_dir,
                                            ProcessGroup group = ProcessGroup::shared,
                                            int output_fd = -1);

// A pipe for a child's output: both ends close-on-exec (the child gets the
// write end through startShellCommand's output_fd), the read end
// non-blocking. Errors: SystemResources, ProcessFdQuotaExceeded, Unexpected.
struct OutputPipe {
    Fd read_end;
    Fd write_end;
};
[[nodiscard]] Result<OutputPipe> makeOutputPipe();

// waitForChild (with a limit when `limit_ms` > 0) that meanwhile hands what
// the child writes into `output_fd` to `relay`, in the order written. Once
// the child has ended, what is already in the pipe is still relayed; a
// descendant that keeps the pipe open does not hold the wait.
[[nodiscard]] Result<ChildEnd> waitForChildRelaying(
    int pid, int output_fd, std::int64_t limit_ms,
    const std::function<void(std::string_view)>& relay);

// waitpid(2) for `pid` until it has ended. An interrupted wait is resumed,
// so a signal for the parent never abandons the child. Unexpected when the
// child cannot be waited for at all (for example when the daemon was started
// with SIGCHLD ignored and the system reaped the child itself).
[[nodiscard]] Result<ChildEnd> waitForChild(int pid);

// The same for at most `limit_ms` milliseconds: TimedOut when the child is
// still running then (it is left running). Without a signal timer or a
// thread the wait looks at the child every few milliseconds.
[[nodiscard]] Result<ChildEnd> waitForChild(int pid, std::int64_t limit_ms);

// Ends the process group led by `pid` (started with ProcessGroup::own):
// SIGTERM to the whole group, then, if the leader has not ended and every
// member gone within `grace_ms`, SIGKILL to the group. Returns once the
// leader is reaped, so no zombie of ours stays; members that outlived the
// leader are children of another process by then and are reaped there.
void endProcessGroup(int pid, std::int64_t grace_ms);

}  // namespace qs::platform
