#pragma once
// What a service manager tells the agent through its environment, and the
// messages the agent sends back: readiness, status text, reloads, stops and
// watchdog keep-alives over the datagram socket named in NOTIFY_SOCKET
// (systemd's notify protocol). Without those variables every call here is a
// no-op, so the agent behaves the same under any other supervisor.

#include <cstdint>
#include <string_view>

namespace qs::platform {

// Sends one notification ("READY=1", "STATUS=...", several assignments
// separated by newlines) to the socket in NOTIFY_SOCKET: a path, or an
// abstract name written with a leading '@'. Nothing happens when the
// variable is unset or names no usable socket; a send that fails is
// dropped, since the manager's bookkeeping must never stop a sync.
void notifyServiceManager(std::string_view assignments);

// The watchdog interval the manager asked for (WATCHDOG_USEC), in
// microseconds, when it is meant for this process (WATCHDOG_PID unset or
// this process's ID); 0 when there is none.
[[nodiscard]] std::uint64_t watchdogMicroseconds();

// CLOCK_MONOTONIC in microseconds, as the manager expects beside
// RELOADING=1; 0 when the clock cannot be read.
[[nodiscard]] std::uint64_t monotonicMicroseconds();

// Whether standard error is the journal's stream: JOURNAL_STREAM holds
// "{device}:{inode}" of that stream and descriptor 2 still is it (a hook's
// redirection or a shell in between makes it something else).
[[nodiscard]] bool standardErrorIsJournal();

}  // namespace qs::platform
