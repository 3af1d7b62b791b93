#pragma once
// Calls on a path as a name: symlink, rename, lstat, readlink and unlink,
// none of which opens what the name leads to. Paths of kMaxSystemPath bytes
// or more fail with NameTooLong before any system call.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "util/error.hpp"

namespace qs::platform {

// symlink(target, link_path): the link holds `target` as text. Errors:
// PermissionDenied, FileNotFound, FileSystem, SystemResources, AccessDenied,
// PathAlreadyExists, NotDir, NoSpaceLeft, ReadOnlyFileSystem, SymLinkLoop,
// NameTooLong, DiskQuota, Unexpected.
[[nodiscard]] Result<void> createSymlink(std::string_view target, std::string_view link_path);

// rename(from, to), atomically replacing what `to` named. Errors:
// PermissionDenied, FileNotFound, SystemResources, AccessDenied, FileBusy,
// PathAlreadyExists, RenameAcrossMountPoints, NotDir, IsDir, NoSpaceLeft,
// ReadOnlyFileSystem, LinkQuotaExceeded, SymLinkLoop, NameTooLong, DiskQuota,
// Unexpected.
[[nodiscard]] Result<void> renamePath(std::string_view from, std::string_view to);

// renameat(directory, from, directory, to): the same relative to an open
// directory (or kWorkingDirectory). Errors: those of renamePath.
[[nodiscard]] Result<void> renameAt(int directory, std::string_view from, std::string_view to);

// renameat(from_directory, from, to_directory, to): one name moved between
// two open directories of one file system, replacing what `to` named there
// (a link is replaced, never followed). Errors: those of renamePath.
[[nodiscard]] Result<void> renameBetween(int from_directory, std::string_view from,
                                         int to_directory, std::string_view to);

// What a name is, without following a link. `missing` when it does not
// exist (ENOENT).
enum class PathKind { missing, directory, symlink, other };

// What an entry of an open directory is, without following a link; FIFOs,
// sockets and devices are `special`.
enum class EntryKind { missing, directory, regular, symlink, special };

// fstatat(directory, name, AT_SYMLINK_NOFOLLOW). Errors: those of pathKind.
[[nodiscard]] Result<EntryKind> entryKindAt(int directory, std::string_view name);

// lstat(2) of `path`. Errors: NameTooLong, NotDir, AccessDenied,
// SymLinkLoop, SystemResources, InputOutput, Unexpected.
[[nodiscard]] Result<PathKind> pathKind(std::string_view path);

// What stat(2) says of the file a path leads to (links followed): enough
// to tell that a file was replaced or rewritten, and who may read it.
struct PathStatus {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;  // modification time, nanoseconds since the epoch
    std::uint32_t mode = 0;        // permission bits only
    bool operator==(const PathStatus&) const = default;
};

// stat(2) of `path`. Errors: FileNotFound, NameTooLong, NotDir,
// AccessDenied, SymLinkLoop, SystemResources, InputOutput, Unexpected.
[[nodiscard]] Result<PathStatus> pathStatus(std::string_view path);

// The modification time of `path` itself (lstat(2): a link's own time,
// which is when it was made), in Unix seconds. Errors: those of pathKind,
// FileNotFound.
[[nodiscard]] Result<std::int64_t> modifiedSeconds(std::string_view path);

// Gives `to` the modification time `from` itself has (neither followed if
// a link), to the nanosecond; the access time of `to` stays. Errors: those
// of modifiedSeconds, PermissionDenied, ReadOnlyFileSystem.
[[nodiscard]] Result<void> copyModifiedTime(std::string_view from, std::string_view to);

// Whether exchangePaths swapped the two names or the system cannot do it.
// Whether this process may create and remove names in the directory at
// `path` (write and search permission, a file system not mounted
// read-only). Errors: FileNotFound, NotDir, AccessDenied,
// ReadOnlyFileSystem, NameTooLong, SymLinkLoop.
[[nodiscard]] Result<void> checkWritableDirectory(std::string_view path);

enum class Exchange { exchanged, unsupported };

// renameat2(from, to, RENAME_EXCHANGE): both names must exist, and each then
// names what the other named, in one atomic step, so a reader never finds
// either name missing. `unsupported` where the system or the file system has
// no such exchange (every system but Linux, and some Linux file systems).
// Errors otherwise: those of renamePath.
[[nodiscard]] Result<Exchange> exchangePaths(std::string_view from, std::string_view to);

// renameat2(from_directory, from, to_directory, to, RENAME_EXCHANGE): the
// same exchange between two open directories of one file system; a link is
// exchanged, never followed. FileNotFound when either name is missing.
// Errors otherwise: those of renamePath.
[[nodiscard]] Result<Exchange> exchangeBetween(int from_directory, std::string_view from,
                                               int to_directory, std::string_view to);

// readlink(path) into `out`; returns the length of the target text. A
// target that fills `out` completely may have been cut short and fails with
// NameTooLong. Other failures (not a link, missing) are reported as
// FileNotFound, NotDir, AccessDenied, BadPathName or Unexpected; callers
// only need to know that there is no usable target.
[[nodiscard]] Result<std::size_t> readLink(std::string_view path, std::span<char> out);

// unlink(path) whose outcome does not matter to the caller (a leftover is
// cleared if it is there).
void unlinkIgnoringResult(std::string_view path);

}  // namespace qs::platform
