#pragma once
// Flushing written data to stable storage: one file or directory through its
// descriptor, or the whole file system it lives on.

#include "util/error.hpp"

namespace qs::platform {

// fsync(2), retried after EINTR. For a directory it makes the names created
// or renamed in it durable. Errors: InputOutput, NoSpaceLeft, DiskQuota,
// ReadOnlyFileSystem, Unexpected.
[[nodiscard]] Result<void> syncFile(int fd);

// Asks the system to start writing `fd`'s data to the disk now, without
// waiting for it (sync_file_range on Linux; elsewhere nothing). A tree that
// is flushed once it is whole then finds most of its data written already,
// instead of all of it waiting for that flush. Failures are ignored: the
// flush that follows reports them.
void startWriteback(int fd);

// Whether syncFileSystem exists on this system (Linux); elsewhere the caller
// flushes file by file.
[[nodiscard]] bool fileSystemSyncAvailable();

// syncfs(2) of the file system holding `fd`: every file and directory
// written there so far reaches stable storage in one call. Errors:
// InputOutput, NoSpaceLeft, DiskQuota, Unexpected (also where the call does
// not exist).
[[nodiscard]] Result<void> syncFileSystem(int fd);

}  // namespace qs::platform
