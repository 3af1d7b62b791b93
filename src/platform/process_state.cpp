#include "platform/process_state.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>

namespace qs::platform {

namespace {

volatile std::sig_atomic_t g_shutdown_requested = 0;

volatile std::sig_atomic_t g_reload_requested = 0;
volatile std::sig_atomic_t g_poll_now_requested = 0;

extern "C" void onStopSignal(int) { g_shutdown_requested = 1; }
extern "C" void onReloadSignal(int) { g_reload_requested = 1; }
extern "C" void onPollNowSignal(int) { g_poll_now_requested = 1; }
extern "C" void onBrokenPipe(int) {}

void install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(signal_number, &action, nullptr);
}

std::recursive_mutex& stderrMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

}  // namespace

void installSignalHandlers() {
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

void setShutdownRequested(bool value) { g_shutdown_requested = value ? 1 : 0; }

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
