#pragma once
// Running a shell command in a child process and waiting for its end.

#include "util/error.hpp"

namespace qs::platform {

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
// `command` is NUL-terminated. Returns the child's process ID.
// Errors of fork: SystemResources, Unexpected.
[[nodiscard]] Result<int> startShellCommand(const char* command);

// waitpid(2) for `pid` until it has ended. An interrupted wait is resumed,
// so a signal for the parent never abandons the child. Unexpected when the
// child cannot be waited for at all (for example when the daemon was started
// with SIGCHLD ignored and the system reaped the child itself).
[[nodiscard]] Result<ChildEnd> waitForChild(int pid);

}  // namespace qs::platform
