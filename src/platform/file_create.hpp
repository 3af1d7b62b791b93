#pragma once
// Creating directories and files for deployment: the plain path calls, and
// the descriptor-relative calls that extraction uses so that no name taken
// from an archive is ever resolved through a symbolic link.
//
// Paths of kMaxSystemPath bytes or more fail with NameTooLong before any
// system call; the same limit applies to single names.

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs::platform {

// mkdir's EEXIST is not a failure for the daemon: whatever exists under the
// name is accepted and the caller learns which case it was.
enum class DirectoryMade { created, existed };

// mkdir(path, 0755) less the umask. Errors: PermissionDenied, FileNotFound,
// AccessDenied, NotDir, NoSpaceLeft, ReadOnlyFileSystem, LinkQuotaExceeded,
// SymLinkLoop, NameTooLong, DiskQuota, SystemResources, Unexpected.
[[nodiscard]] Result<DirectoryMade> makeDirectory(std::string_view path);
// What makePrivateDirectory found under the path.
enum class PrivateDirectory {
    created,        // made now, 0700 less the umask
    existed,        // already there and nobody else's to write
    made_private,   // the agent's own, open to others until now: changed to 0700
    open_to_others, // another user's, or writable by others in a way the
                    // agent may not change (sticky, like /tmp): left as it is
};
// mkdir(path, 0700) less the umask; an existing directory owned by the
// agent's user is changed to 0700 when group or others had any access. Some
// other thing under the name (a file) is "existed": its writes fail later.
// Errors as makeDirectory, and those of changing the mode.
[[nodiscard]] Result<PrivateDirectory> makePrivateDirectory(std::string_view path);
// mkdirat(directory, name, 0755): the same, relative to an open directory.
[[nodiscard]] Result<DirectoryMade> makeDirectoryAt(int directory, std::string_view name);

// Opens a file write-only, created (0666 less the umask) if missing,
// truncated if present, close-on-exec; EINTR repeats the call. Errors:
// PermissionDenied, FileNotFound, AccessDenied, PathAlreadyExists, NotDir,
// IsDir, NoSpaceLeft, SymLinkLoop, NameTooLong, SystemResources,
// ProcessFdQuotaExceeded, SystemFdQuotaExceeded, FileBusy, FileTooBig,
// BadPathName, DeviceBusy, NoDevice, WouldBlock, FileLocksNotSupported,
// Unexpected.
[[nodiscard]] Result<Fd> createFile(std::string_view path);
// The same relative to an open directory, never through a link: a link
// named `name` fails with SymLinkLoop and is left untouched.
[[nodiscard]] Result<Fd> createFileNoFollowAt(int directory, std::string_view name);

// Stands for the working directory where a directory descriptor is asked
// for: names are then paths as given (AT_FDCWD).
extern const int kWorkingDirectory;

// Creates `name` in `directory` write-only and close-on-exec, mode 0600,
// only when nothing at all is there (O_CREAT|O_EXCL|O_NOFOLLOW): no existing
// file, hard link, symbolic link or FIFO is ever opened, so nobody's inode is
// written. PathAlreadyExists when the name is taken; otherwise the errors of
// createFile.
[[nodiscard]] Result<Fd> createNewFileAt(int directory, std::string_view name);

// A new, empty file under `name` in `directory` (as createNewFileAt) in place
// of whatever non-directory entry was there: a file, a link of either kind, a
// FIFO, socket or device is removed first, never opened. Errors: those of
// createNewFileAt, and of the removal (IsDir for a directory in the way).
[[nodiscard]] Result<Fd> replaceFileAt(int directory, std::string_view name);

// unlinkat(directory, name, 0) whose outcome does not matter to the caller.
void removeEntryIgnoringResult(int directory, std::string_view name);

// 0666 less the process umask (as it is now): the mode a file created the
// plain way gets.
// New files start at 0600 and are given this once written, when nothing
// else decides their mode.
[[nodiscard]] std::uint32_t plainFileMode();
// A private scratch file: write and read, created only if `path` does not
// exist (O_EXCL), never through a link, mode 0600 whatever the umask.
// Errors: as createFile (an existing entry is PathAlreadyExists).
[[nodiscard]] Result<Fd> createExclusiveFile(std::string_view path);
// The same relative to an open directory.
[[nodiscard]] Result<Fd> createExclusiveFileAt(int directory, std::string_view name);

// A scratch file with no name in `directory` (O_TMPFILE where the system has
// it, else an exclusive name removed at once), so nothing of it can outlive
// the process. Errors: as createExclusiveFile.
[[nodiscard]] Result<Fd> createUnnamedFile(std::string_view directory);

// The process's file creation mask, read without changing it for longer
// than the two calls take.
[[nodiscard]] std::uint32_t fileCreationMask();

// The same as walking `relative` below `directory` with the calls above and
// creating its last component as createNewFileAt does, in one system call where the system can
// refuse every symbolic link on the way and every step out of `directory`
// (Linux openat2). Empty when it cannot, for whatever reason: the caller then
// walks the path itself, which also names any error precisely and replaces
// an entry already there. Saves three to four system calls per new file.
[[nodiscard]] std::optional<Fd> createFileBeneath(int directory, std::string_view relative);

}  // namespace qs::platform
