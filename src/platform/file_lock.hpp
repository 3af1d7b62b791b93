#pragma once
// An advisory lock on a file (flock(2)): one process at a time may hold it,
// and the kernel lets go of it when the holder exits however it ends, so a
// killed holder never leaves a stale lock behind.

#include <string_view>

#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs::platform {

enum class LockWait {
    // Wait until the holder lets go (or a stop signal arrives).
    wait,
    // Give up at once with WouldBlock when another holds it.
    fail_when_held,
};

class FileLock {
public:
    // Opens `path` (created 0644 less the umask when missing, never through
    // a symbolic link, close-on-exec so that hooks do not inherit it), takes
    // the lock, and writes this process's ID into the file for whoever looks.
    // A file removed or replaced by its holder while this process waited is
    // opened again, so two holders never hold two different files of one
    // name. Errors: WouldBlock (another holds it, fail_when_held),
    // Interrupted (a stop signal while waiting), InvalidFormat (not a regular
    // file), FileLocksNotSupported, and those of creating the file.
    [[nodiscard]] static Result<FileLock> take(std::string_view path, LockWait wait);

    FileLock(FileLock&&) noexcept = default;
    FileLock& operator=(FileLock&&) noexcept = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() = default;

    // Whether the file named another process (or none) as its last holder:
    // something else may have changed what the lock guards since this
    // process last held it.
    [[nodiscard]] bool othersHeldIt() const { return others_held_it_; }

    // Removes the file's name while the lock is still held; a process
    // waiting on it then opens the name again.
    void removeName(std::string_view path);

private:
    FileLock() = default;
    Fd fd_;
    bool others_held_it_ = true;
};

// Whether a process with this ID exists (kill(pid, 0) succeeds or is
// refused for want of permission). IDs below 1 name no single process.
[[nodiscard]] bool processAlive(int pid);

}  // namespace qs::platform
