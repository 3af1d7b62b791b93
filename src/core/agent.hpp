#pragma once
// The agent from process entry to orderly shutdown.

#include "core/poll_loop.hpp"

namespace qs {

// Installs the signal handlers, reads the command line, answers -v/-h or
// loads the configuration, logs the start-up summary and the cached ETags,
// and runs the poll loop with `sync` until SIGINT or SIGTERM. Returns the
// exit status: 0 after -v, -h or a shutdown, 1 for every start-up failure.
[[nodiscard]] int runAgent(int argc, char** argv, SyncStep sync);

}  // namespace qs
