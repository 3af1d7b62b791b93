#pragma once
// The owned file descriptor and the plain read/write loops around it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "util/error.hpp"

namespace qs::platform {

// Owns one descriptor and closes it exactly once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(fd_, -1); }
    void reset();

private:
    int fd_ = -1;
};

// One read(2), retried after EINTR; 0 means end of file.
// Errors: InputOutput, IsDir, WouldBlock, ConnectionResetByPeer, AccessDenied, Unexpected.
[[nodiscard]] Result<std::size_t> readSome(int fd, std::span<char> out);

// pread(2) at `offset`, retried after EINTR; 0 means end of file. Errors as
// readSome.
[[nodiscard]] Result<std::size_t> readSomeAt(int fd, std::span<char> out, std::uint64_t offset);

// write(2) until every byte is out; a short write continues with the rest
// and an interrupted one is retried. Errors: BrokenPipe, NoSpaceLeft,
// DiskQuota, InputOutput, FileTooBig, AccessDenied, WouldBlock, Unexpected.
[[nodiscard]] Result<void> writeAll(int fd, std::string_view bytes);

// Opens `path` read-only (relative to the current directory when relative)
// and reads it to its end, never trusting its announced size, so pipes and
// FIFOs work and a growing file is still capped: FileTooBig beyond `limit`.
// Errors of the open: FileNotFound, AccessDenied, NameTooLong, SymLinkLoop,
// NotDir, IsDir, SystemResources, ProcessFdQuotaExceeded,
// SystemFdQuotaExceeded, NoDevice, FileBusy, WouldBlock, Unexpected;
// then those of readSome, and OutOfMemory.
[[nodiscard]] Result<std::string> readWholeFile(std::string_view path, std::size_t limit);

// The same for a file that must be a regular file under `path` itself: a
// symbolic link as the last component fails (SymLinkLoop), as does anything
// but a regular file (InvalidFormat), a FIFO without waiting for a writer.
[[nodiscard]] Result<std::string> readRegularFileNoFollow(std::string_view path,
                                                          std::size_t limit);

enum class OpenBlocking { block, nonblock };

// Opens `path` read-only and close-on-exec, relative to `directory_fd`, or
// to the current directory when there is none. `nonblock` keeps a FIFO or a
// device from stalling the open. Errors: those of readWholeFile's open.
[[nodiscard]] Result<Fd> openForReading(std::optional<int> directory_fd, std::string_view path,
                                        OpenBlocking blocking = OpenBlocking::block);

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
// The same into `bytes`, whose allocation is used again (its old content
// goes; after an error it is empty).
[[nodiscard]] Result<void> readAtMostInto(int fd, std::uint64_t limit, std::string& bytes);

}  // namespace qs::platform

namespace qs::platform {

// writev(2) of `first` then `second` until both are out (short writes and
// EINTR handled); errors as writeAll.
[[nodiscard]] Result<void> writeBoth(int fd, std::string_view first, std::string_view second);

}  // namespace qs::platform
