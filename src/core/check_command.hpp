#pragma once
// "check": the configuration as the daemon would run it, and the mistakes
// that the daemon would only meet later (or never report), without
// touching the network or any target_dir.

#include "core/commands.hpp"

namespace qs {

// Prints one line per bundle with its resolved settings and one line per
// problem on standard output. 0 when no problem was found, 1 otherwise
// (also when the configuration cannot be loaded at all).
[[nodiscard]] int runCheck(const Invocation& invocation);

}  // namespace qs
