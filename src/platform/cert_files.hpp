#pragma once
// The file access the trust store needs: a directory listing that reports
// each entry's type as the listing gives it, and size-capped reads of
// certificate files opened by path or by name inside an open directory.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs::platform {

// The type the directory listing reports, without a further stat: entries
// it leaves untyped stay `unknown`.
enum class EntryType { regular, symlink, other, unknown };

struct DirectoryEntry {
    std::string_view name;  // valid until the next call to next()
    EntryType type;
};

// An open directory read entry by entry in the order the system returns them.
class Directory {
public:
    // Errors: FileNotFound, AccessDenied, NotDir, NameTooLong, SymLinkLoop,
    // SystemResources, ProcessFdQuotaExceeded, SystemFdQuotaExceeded, Unexpected.
    [[nodiscard]] static Result<Directory> open(std::string_view path);

    Directory(Directory&& other) noexcept;
    Directory& operator=(Directory&& other) noexcept;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory();

    // The next entry other than "." and "..", or none at the end.
    // Errors: InputOutput, NotDir, FileNotFound, Unexpected.
    [[nodiscard]] Result<std::optional<DirectoryEntry>> next();

    // The descriptor for opening entries by name.
    [[nodiscard]] int fd() const;

private:
    explicit Directory(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;  // DIR*
};

// Opens a file read-only, following symbolic links. Non-blocking, so a FIFO
// reached through a link cannot stall the caller waiting for a writer.
// Errors: FileNotFound, AccessDenied, PermissionDenied, NameTooLong,
// SymLinkLoop, NotDir, IsDir, SystemResources, ProcessFdQuotaExceeded,
// SystemFdQuotaExceeded, NoDevice, FileBusy, WouldBlock, InputOutput, Unexpected.
[[nodiscard]] Result<Fd> openFileReadOnly(std::string_view path);
// The same, for `name` inside the directory open as `directory_fd`.
[[nodiscard]] Result<Fd> openFileReadOnlyAt(int directory_fd, std::string_view name);

// What fstat(2) says of an open file: its size, and the device and inode
// that name it whatever path led to it. Errors: InputOutput,
// SystemResources, Unexpected.
struct FileIdentity {
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};
[[nodiscard]] Result<FileIdentity> fileIdentity(int fd);

// Reads until the end of the file or until `limit` bytes are in, whichever
// comes first. Errors: those of readSome, OutOfMemory.
[[nodiscard]] Result<std::string> readAtMost(int fd, std::uint64_t limit);

}  // namespace qs::platform
