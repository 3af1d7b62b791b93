#include "platform/child_process.hpp"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <ctime>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/process_state.hpp"

namespace qs::platform {

namespace {

// The status a shell exits with when it cannot run a command.
constexpr int kCannotExecute = 127;
// How often a bounded wait looks at its child: often enough that the limit
// holds to a few milliseconds, rarely enough to cost nothing while a hook
// runs for minutes.
constexpr std::int64_t kChildPollMilliseconds = 10;

std::int64_t monotonicMs() { return static_cast<std::int64_t>(monotonicMilliseconds()); }

void napMilliseconds(std::int64_t milliseconds) {
    struct timespec request {};
    request.tv_sec = static_cast<time_t>(milliseconds / 1000);
    request.tv_nsec = static_cast<long>(milliseconds % 1000) * 1'000'000;
    struct timespec remaining {};
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

ChildEnd decode(int status) {
    ChildEnd end;
    if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    } else {
        end.exit_code = WEXITSTATUS(status);
    }
    return end;
}

// waitpid without blocking: ended (status filled in), still running, or a
// failure other than an interruption.
enum class Reaped : std::uint8_t { ended, running, failed };
Reaped reapNow(pid_t pid, int& status) {
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return Reaped::ended;
        if (got == 0) return Reaped::running;
        if (errno != EINTR) return Reaped::failed;
    }
}

Error forkError(int e) {
    switch (e) {
    case ENOMEM:
    case EAGAIN: return Error::SystemResources;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<int> startShellCommand(const char* command, ProcessGroup group) {
    char* const environment[] = {nullptr};
    return startShellCommand(command, environment, nullptr, group);
}

Result<int> startShellCommand(const char* command, char* const* environment,
                              const char* working_dir, ProcessGroup group, int output_fd) {
    // Everything the child needs is ready before fork: between fork and
    // execve the child may only make async-signal-safe calls.
    char shell[] = "/bin/sh";
    char flag[] = "-c";
    char* const arguments[] = {shell, flag, const_cast<char*>(command), nullptr};

    const pid_t pid = ::fork();
    if (pid < 0) return std::unexpected(forkError(errno));
    if (pid == 0) {
        if (group == ProcessGroup::own) ::setpgid(0, 0);
        // dup2 clears close-on-exec on the copies.
        if (output_fd >= 0 && (::dup2(output_fd, 1) < 0 || ::dup2(output_fd, 2) < 0))
            ::_exit(kCannotExecute);
        if (working_dir != nullptr && ::chdir(working_dir) != 0) ::_exit(kCannotExecute);
        ::execve(shell, arguments, environment);
        ::_exit(kCannotExecute);
    }
    // Both sides set the group, so it stands whichever runs first; the
    // parent's call fails harmlessly once the child has run execve.
    if (group == ProcessGroup::own) ::setpgid(pid, pid);
    return static_cast<int>(pid);
}

Result<ChildEnd> waitForChild(int pid) {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
        // EINTR is the only failure that leaves the child waitable; any
        // other (ECHILD) would repeat forever.
        if (errno != EINTR) return std::unexpected(Error::Unexpected);
    }
    return decode(status);
}

Result<ChildEnd> waitForChild(int pid, std::int64_t limit_ms) {
    const std::int64_t until = monotonicMs() + limit_ms;
    for (;;) {
        int status = 0;
        switch (reapNow(static_cast<pid_t>(pid), status)) {
        case Reaped::ended: return decode(status);
        case Reaped::failed: return std::unexpected(Error::Unexpected);
        case Reaped::running: break;
        }
        const std::int64_t left = until - monotonicMs();
        if (left <= 0) return std::unexpected(Error::TimedOut);
        napMilliseconds(left < kChildPollMilliseconds ? left : kChildPollMilliseconds);
    }
}

Result<OutputPipe> makeOutputPipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        switch (errno) {
        case EMFILE: return std::unexpected(Error::ProcessFdQuotaExceeded);
        case ENFILE: return std::unexpected(Error::SystemResources);
        default: return std::unexpected(Error::Unexpected);
        }
    }
    OutputPipe pipe{Fd(ends[0]), Fd(ends[1])};
    const int flags = ::fcntl(ends[0], F_GETFL);
    if (flags < 0 || ::fcntl(ends[0], F_SETFL, flags | O_NONBLOCK) != 0)
        return std::unexpected(Error::Unexpected);
    return pipe;
}

namespace {

// Reads what the pipe holds now; false at its end or on a failure, after
// which it is not read again.
bool relayAvailable(int fd, const std::function<void(std::string_view)>& relay) {
    std::array<char, 4096> block;
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n > 0) {
            relay(std::string_view(block.data(), static_cast<std::size_t>(n)));
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

}  // namespace

Result<ChildEnd> waitForChildRelaying(int pid, int output_fd, std::int64_t limit_ms,
                                      const std::function<void(std::string_view)>& relay) {
    const std::int64_t until = monotonicMs() + limit_ms;
    bool open = output_fd >= 0;
    for (;;) {
        int status = 0;
        switch (reapNow(static_cast<pid_t>(pid), status)) {
        case Reaped::ended:
            if (open) (void)relayAvailable(output_fd, relay);
            return decode(status);
        case Reaped::failed: return std::unexpected(Error::Unexpected);
        case Reaped::running: break;
        }
        std::int64_t wait = kChildPollMilliseconds;
        if (limit_ms > 0) {
            const std::int64_t left = until - monotonicMs();
            if (left <= 0) return std::unexpected(Error::TimedOut);
            if (left < wait) wait = left;
        }
        if (!open) {
            napMilliseconds(wait);
            continue;
        }
        struct pollfd watched {};
        watched.fd = output_fd;
        watched.events = POLLIN;
        const int ready = ::poll(&watched, 1, static_cast<int>(wait));
        if (ready > 0) open = relayAvailable(output_fd, relay);
    }
}

void endProcessGroup(int pid, std::int64_t grace_ms) {
    const auto leader = static_cast<pid_t>(pid);
    ::kill(-leader, SIGTERM);
    bool reaped = false;
    const std::int64_t until = monotonicMs() + grace_ms;
    for (;;) {
        int status = 0;
        if (!reaped) reaped = reapNow(leader, status) != Reaped::running;
        // The group ID stays reserved while any member lives, so probing it
        // after the leader is gone still means this group.
        const bool members_left = ::kill(-leader, 0) == 0 || errno == EPERM;
        if (reaped && !members_left) return;
        if (monotonicMs() >= until) break;
        napMilliseconds(kChildPollMilliseconds);
    }
    ::kill(-leader, SIGKILL);
    if (!reaped) [[maybe_unused]] auto end = waitForChild(pid);
}

}  // namespace qs::platform
