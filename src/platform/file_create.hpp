#pragma once
// Creating directories and files for deployment: the plain path calls, and
// the descriptor-relative calls that extraction uses so that no name taken
// from an archive is ever resolved through a symbolic link.
//
// Paths of kMaxSystemPath bytes or more fail with NameTooLong before any
// system call; the same limit applies to single names.

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
// mkdir(path, 0700) less the umask; errors as makeDirectory.
[[nodiscard]] Result<DirectoryMade> makePrivateDirectory(std::string_view path);
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

// The same as walking `relative` below `directory` with the calls above and
// creating its last component, in one system call where the system can
// refuse every symbolic link on the way and every step out of `directory`
// (Linux openat2). Empty when it cannot, for whatever reason: the caller then
// walks the path itself, which also names any error precisely. Saves three
// to four system calls per extracted file.
[[nodiscard]] std::optional<Fd> createFileBeneath(int directory, std::string_view relative);

}  // namespace qs::platform
