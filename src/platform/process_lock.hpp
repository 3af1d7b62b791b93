#pragma once
// A lock that says "this process is alive and is the one": a POSIX record
// lock on a file, held for as long as the process keeps the descriptor.
// The system drops it when the process ends however it ends, and another
// process can ask who holds it without taking it, so a reader never gets
// in the holder's way. Children do not inherit it, so a hook still running
// after its agent died does not keep it.

#include <string_view>

#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs::platform {

// Opens (creating, mode 0600, never through a link) `path` and takes a
// write lock on the whole file without waiting. Errors: WouldBlock when
// another process holds it; those of opening the file; FileLocksNotSupported.
[[nodiscard]] Result<Fd> holdProcessLock(std::string_view path);

// The process ID of whoever holds a lock on `path` (F_GETLK), 0 when no
// one does. Errors: FileNotFound when there is no such file, and those of
// opening it; FileLocksNotSupported.
[[nodiscard]] Result<int> processLockHolder(std::string_view path);

// Whether a process with this ID exists (kill(pid, 0); one owned by another
// user counts).
[[nodiscard]] bool processExists(int pid);

}  // namespace qs::platform
