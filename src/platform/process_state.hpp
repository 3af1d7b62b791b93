#pragma once
// Process-wide state that signal handlers touch, the standard-error lock,
// and the wall clock.

#include <cstdint>
#include <string>

#include "util/error.hpp"

namespace qs::platform {

// Catches SIGPIPE with an empty handler (so writes to a closed pipe fail with
// BrokenPipe and a later execve restores the default), then SIGTERM and
// SIGINT with a handler that only sets the stop flag. No SA_RESTART: blocking
// calls return EINTR and every wrapper retries them, so a signal never cuts
// a step short; the poll loop looks at the flag between steps.
void installSignalHandlers();

// Also SIGHUP and SIGUSR1, each with a handler that only sets its request
// flag (see below), installed the same way.
//
// True once SIGINT or SIGTERM arrived.
[[nodiscard]] bool shutdownRequested();
// For tests that drive the loop without signals.
void setShutdownRequested(bool value);

// Whether SIGHUP (read the configuration again) or SIGUSR1 (poll every
// bundle now) arrived since the last call; each call clears its flag.
[[nodiscard]] bool takeReloadRequest();
[[nodiscard]] bool takePollNowRequest();

// The read end of a pipe that becomes readable when the stop flag is set
// (the handler writes one byte; nothing ever drains it while the flag
// stands), so a wait in poll(2) can watch for the stop itself: a signal
// that arrives between a look at the flag and the start of poll still ends
// the wait. -1 before installSignalHandlers.
[[nodiscard]] int stopWakeupDescriptor();

// 64 bits from the system's random source (getrandom(2)), for seeding the
// schedule's jitter once per process; falls back to the clocks and the
// process ID if that source fails.
[[nodiscard]] std::uint64_t randomSeed();

// Wall-clock seconds since the epoch (CLOCK_REALTIME, rounded down); 0 when
// the clock cannot be read.
[[nodiscard]] std::int64_t wallClockSeconds();

// Wall-clock milliseconds since the epoch (CLOCK_REALTIME), for time
// stamps; 0 when the clock cannot be read.
[[nodiscard]] std::int64_t wallClockMilliseconds();

// Milliseconds on the monotonic clock, for measuring how long a step took
// whatever happens to the wall clock meanwhile; 0 when it cannot be read.
[[nodiscard]] std::uint64_t monotonicMilliseconds();

// getpid(2).
[[nodiscard]] int processId();

// getcwd(3): the absolute path of the current directory. Errors:
// AccessDenied, FileNotFound (the directory was removed), NameTooLong,
// OutOfMemory, Unexpected.
[[nodiscard]] Result<std::string> currentDirectory();

// Sleeps `nanoseconds`; after EINTR it sleeps again for the remaining time.
// Any other failure ends the sleep early.
void sleepNanoseconds(std::int64_t nanoseconds);

// The re-entrant standard-error lock. Lines of the log and the start-up error
// line are written under it so that no two lines interleave.
void lockStderr();
void unlockStderr();

}  // namespace qs::platform
