#include "platform/child_process.hpp"

#include <cerrno>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qs::platform {

namespace {

// The status a shell exits with when it cannot run a command.
constexpr int kCannotExecute = 127;

Error forkError(int e) {
    switch (e) {
    case ENOMEM:
    case EAGAIN: return Error::SystemResources;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<int> startShellCommand(const char* command) {
    // Everything the child needs is ready before fork: between fork and
    // execve the child may only make async-signal-safe calls.
    char shell[] = "/bin/sh";
    char flag[] = "-c";
    char* const arguments[] = {shell, flag, const_cast<char*>(command), nullptr};
    char* const environment[] = {nullptr};

    const pid_t pid = ::fork();
    if (pid < 0) return std::unexpected(forkError(errno));
    if (pid == 0) {
        ::execve(shell, arguments, environment);
        ::_exit(kCannotExecute);
    }
    return static_cast<int>(pid);
}

Result<ChildEnd> waitForChild(int pid) {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
        // EINTR is the only failure that leaves the child waitable; any
        // other (ECHILD) would repeat forever.
        if (errno != EINTR) return std::unexpected(Error::Unexpected);
    }
    ChildEnd end;
    if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    } else {
        end.exit_code = WEXITSTATUS(status);
    }
    return end;
}

}  // namespace qs::platform
