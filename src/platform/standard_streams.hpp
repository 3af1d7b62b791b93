#pragma once
// Keeping descriptors 0, 1 and 2 occupied.

namespace qs::platform {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. A daemon
// started with standard error closed would otherwise hand descriptor 2 to
// the next file or socket it opens, and every log line would then be
// written into that file or sent to that server. Failures are ignored: the
// agent then runs as it was started.
void occupyStandardDescriptors();

// Whether `fd` is a terminal (isatty(3)), for colour that only a person
// looking at it wants.
[[nodiscard]] bool isTerminal(int fd);

}  // namespace qs::platform
