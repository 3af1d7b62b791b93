#pragma once
// "status": the state of every configured bundle, read from the status
// records in state_dir.

#include "core/commands.hpp"

namespace qs {

// Prints a table (bundle, state, version, last success, last attempt,
// failures, last error) on standard output, coloured only on a terminal.
// 0 when every bundle is ok, 2 when any is failing or has never run, 1
// without state_dir or a usable configuration.
[[nodiscard]] int runStatus(const Invocation& invocation);

}  // namespace qs
