#pragma once
// Directories through descriptors: opening, reading raw entries, removing
// names relative to an open directory. Nothing here follows a symbolic link
// unless it says so, and nothing allocates.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs::platform {

// Bytes of raw entries fetched per getdents call: several entries of the
// longest name (255 bytes), small enough that a walk can keep one buffer
// per open directory on the stack.
inline constexpr std::size_t kDirectoryChunkSize = 1024;

// What an entry's type byte says, without a further stat. Entries whose
// file system does not record a type (DT_UNKNOWN) are `unknown`; devices,
// FIFOs and sockets are `other`.
enum class EntryType { directory, regular, symlink, other, unknown };

struct DirectoryEntry {
    const char* name;  // NUL-terminated; valid until the cursor reads again
    std::size_t length;
    EntryType type;

    [[nodiscard]] std::string_view view() const { return {name, length}; }
};

// The reading position in one open directory, with its buffer of raw
// entries; the buffer lives inside the cursor, so no heap is used.
class DirectoryCursor {
public:
    // The next entry of the directory open as `fd`, in the order the system
    // gives them; "." and ".." are skipped. nullopt at the end, also when the
    // directory was removed while being read. Other getdents failures:
    // Unexpected.
    [[nodiscard]] Result<std::optional<DirectoryEntry>> next(int fd);
    // Forgets buffered entries, for reading a freshly opened directory.
    void restart() {
        position_ = 0;
        fill_ = 0;
    }

private:
    alignas(8) std::array<char, kDirectoryChunkSize> buffer_;
    std::size_t position_ = 0;
    std::size_t fill_ = 0;
};

// Opens a directory read-only and close-on-exec, for reading its entries or
// as the base of *At calls. openDirectory follows links in `path` (relative
// to the current directory when relative); openDirectoryNoFollowAt opens
// `name` in the directory `directory` and refuses a link as `name` with
// SymLinkLoop and anything that is not a directory with NotDir. Paths of
// kMaxSystemPath bytes or more fail with NameTooLong before the call.
// Errors: PermissionDenied, AccessDenied, FileNotFound, SystemResources,
// DeviceBusy, NotDir, SymLinkLoop, NameTooLong, ProcessFdQuotaExceeded,
// SystemFdQuotaExceeded, NoDevice, Unexpected (also for EIO and EROFS).
[[nodiscard]] Result<Fd> openDirectory(std::string_view path);
[[nodiscard]] Result<Fd> openDirectoryNoFollowAt(int directory, std::string_view name);

enum class UnlinkTarget { nonDirectory, directory };

// unlinkat(2) of `name` in `dirfd`, with the remove-directory flag for
// UnlinkTarget::directory. Errors: PermissionDenied, AccessDenied,
// FileNotFound, FileSystem (EIO), SystemResources, FileBusy, DirNotEmpty
// (EEXIST, ENOTEMPTY), NotDir, IsDir, ReadOnlyFileSystem, SymLinkLoop,
// NameTooLong, Unexpected.
[[nodiscard]] Result<void> unlinkAt(int dirfd, const char* name, UnlinkTarget target);

// fstatat(2) without following a link: whether `name` in `dirfd` is a
// directory. Any failure: Unexpected.
[[nodiscard]] Result<bool> isDirectoryAt(int dirfd, const char* name);

// What one entry occupies, from fstatat(2) without following a link.
struct EntryUsage {
    std::uint64_t bytes = 0;  // st_blocks in 512-byte units, as bytes
    std::uint64_t size = 0;   // st_size
    bool regular = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 0;
    bool directory = false;
};

// fstatat(2) of `name` in `dirfd`, not following a link. Errors:
// FileNotFound, AccessDenied, NameTooLong, NotDir, SystemResources,
// Unexpected.
[[nodiscard]] Result<EntryUsage> entryUsageAt(int dirfd, const char* name);

}  // namespace qs::platform
