#pragma once
// The agent from process entry to orderly shutdown.

#include "core/commands.hpp"
#include "core/poll_loop.hpp"

namespace qs {

// Installs the signal handlers, reads the command line, answers -v/-h or
// runs the selected command (the daemon when none is named) with `sync` as
// the sync cycle. Returns the exit status: 0 after -v, -h or a shutdown, 1
// for every start-up failure, or what the command returns.
[[nodiscard]] int runAgent(int argc, char** argv, SyncStep sync);

// "run": loads the configuration, logs the start-up summary and the cached
// ETags, and runs the poll loop until SIGINT or SIGTERM. 0 after a stop
// signal, 1 when the configuration cannot be used.
[[nodiscard]] int runDaemon(const Invocation& invocation);

// "once": the same start-up, then one sync cycle per bundle in
// configuration order. 0 when every bundle ended unchanged or installed, 2
// when any failed, 1 when the configuration cannot be used.
[[nodiscard]] int runOnce(const Invocation& invocation);

}  // namespace qs
