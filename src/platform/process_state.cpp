#include "platform/process_state.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/random.h>
#include <unistd.h>

#include "util/path.hpp"

namespace qs::platform {

namespace {

volatile std::sig_atomic_t g_shutdown_requested = 0;
// Written by the handler, so plain ints set before the handler exists.
int g_wakeup_read = -1;
int g_wakeup_write = -1;

volatile std::sig_atomic_t g_reload_requested = 0;
volatile std::sig_atomic_t g_poll_now_requested = 0;

extern "C" void onReloadSignal(int) { g_reload_requested = 1; }
extern "C" void onPollNowSignal(int) { g_poll_now_requested = 1; }

void wakeWaiters() {
    if (g_wakeup_write < 0) return;
    const char byte = 1;
    // A full pipe is as readable as one byte; the outcome does not matter.
    [[maybe_unused]] const ssize_t written = ::write(g_wakeup_write, &byte, 1);
}

extern "C" void onStopSignal(int) {
    const int saved = errno;
    g_shutdown_requested = 1;
    wakeWaiters();
    errno = saved;
}
extern "C" void onBrokenPipe(int) {}

void install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(signal_number, &action, nullptr);
}

// This runs before the standard descriptors are known to be open: a pipe
// end that took the place of a closed one would later receive log lines.
int aboveStandardDescriptors(int fd) {
    constexpr int kFirstFree = 3;
    if (fd >= kFirstFree) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstFree);
    ::close(fd);
    return moved;
}

std::recursive_mutex& stderrMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

}  // namespace

void installSignalHandlers() {
    if (g_wakeup_read < 0) {
        // Close-on-exec, so hooks never inherit it; non-blocking, so the
        // handler never waits on it. Without it, waits fall back to the flag.
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            g_wakeup_read = aboveStandardDescriptors(ends[0]);
            g_wakeup_write = aboveStandardDescriptors(ends[1]);
        }
    }
    install(SIGPIPE, onBrokenPipe);
    install(SIGTERM, onStopSignal);
    install(SIGINT, onStopSignal);
    install(SIGHUP, onReloadSignal);
    install(SIGUSR1, onPollNowSignal);
}

bool takeReloadRequest() {
    if (g_reload_requested == 0) return false;
    g_reload_requested = 0;
    return true;
}

bool takePollNowRequest() {
    if (g_poll_now_requested == 0) return false;
    g_poll_now_requested = 0;
    return true;
}

bool shutdownRequested() { return g_shutdown_requested != 0; }

void setShutdownRequested(bool value) {
    g_shutdown_requested = value ? 1 : 0;
    if (value) {
        wakeWaiters();
        return;
    }
    char drained[64];
    while (g_wakeup_read >= 0 && ::read(g_wakeup_read, drained, sizeof drained) > 0) {
    }
}

int stopWakeupDescriptor() { return g_wakeup_read; }

std::uint64_t randomSeed() {
    std::uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed))
        return seed;
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    seed = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ULL;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return seed ^ static_cast<std::uint64_t>(now.tv_sec) ^
           (static_cast<std::uint64_t>(::getpid()) << 32);
}

std::int64_t wallClockSeconds() {
    struct timespec now {};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    // tv_nsec is always within [0, 1e9), so tv_sec is already the floor.
    return static_cast<std::int64_t>(now.tv_sec);
}

std::int64_t wallClockMilliseconds() {
    struct timespec now {};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

std::uint64_t monotonicMilliseconds() {
    struct timespec now {};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
}

int processId() { return static_cast<int>(::getpid()); }

Result<std::string> currentDirectory() {
    char buffer[kPathBufferSize];
    if (::getcwd(buffer, sizeof buffer) == nullptr) {
        switch (errno) {
        case EACCES: return std::unexpected(Error::AccessDenied);
        case ENOENT: return std::unexpected(Error::FileNotFound);
        case ERANGE:
        case ENAMETOOLONG: return std::unexpected(Error::NameTooLong);
        case ENOMEM: return std::unexpected(Error::OutOfMemory);
        default: return std::unexpected(Error::Unexpected);
        }
    }
    try {
        return std::string(buffer);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

void sleepNanoseconds(std::int64_t nanoseconds) {
    struct timespec request {};
    request.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
    request.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
    struct timespec remaining {};
    while (::nanosleep(&request, &remaining) != 0) {
        if (errno != EINTR) return;
        request = remaining;
    }
}

void lockStderr() { stderrMutex().lock(); }
void unlockStderr() { stderrMutex().unlock(); }

}  // namespace qs::platform
