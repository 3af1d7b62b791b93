#include "platform/fd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "util/path.hpp"
#include "util/room.hpp"

namespace qs::platform {

void Fd::reset() {
    if (fd_ >= 0) {
        // close(2) is not retried after EINTR: the descriptor is gone either way.
        ::close(fd_);
        fd_ = -1;
    }
}

namespace {

Error readError(int e) {
    switch (e) {
    case EIO: return Error::InputOutput;
    case EISDIR: return Error::IsDir;
    case EAGAIN: return Error::WouldBlock;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    case EACCES: return Error::AccessDenied;
    case ENOBUFS:
    case ENOMEM: return Error::SystemResources;
    default: return Error::Unexpected;
    }
}

Error writeError(int e) {
    switch (e) {
    case EPIPE: return Error::BrokenPipe;
    case ENOSPC: return Error::NoSpaceLeft;
    case EDQUOT: return Error::DiskQuota;
    case EIO: return Error::InputOutput;
    case EFBIG: return Error::FileTooBig;
    case EACCES: return Error::AccessDenied;
    case EPERM: return Error::PermissionDenied;
    case EAGAIN: return Error::WouldBlock;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    default: return Error::Unexpected;
    }
}

Error openReadError(int e) {
    switch (e) {
    case ENOENT: return Error::FileNotFound;
    case EACCES: return Error::AccessDenied;
    case EPERM: return Error::PermissionDenied;
    case ENAMETOOLONG: return Error::NameTooLong;
    // FreeBSD refuses O_NOFOLLOW on a link with EMLINK, Linux with ELOOP.
    case ELOOP:
    case EMLINK: return Error::SymLinkLoop;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case ENOMEM: return Error::SystemResources;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case ENXIO:
    case ENODEV: return Error::NoDevice;
    case ETXTBSY: return Error::FileBusy;
    case EAGAIN: return Error::WouldBlock;
    case EIO: return Error::InputOutput;
    default: return Error::Unexpected;
    }
}

Error statError(int e) {
    switch (e) {
    case EIO: return Error::InputOutput;
    case ENOMEM: return Error::SystemResources;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<std::size_t> readSome(int fd, std::span<char> out) {
    for (;;) {
        const ssize_t n = ::read(fd, out.data(), out.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return std::unexpected(readError(errno));
    }
}

Result<std::size_t> readSomeAt(int fd, std::span<char> out, std::uint64_t offset) {
    for (;;) {
        const ssize_t n = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return std::unexpected(readError(errno));
    }
}

Result<void> writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(writeError(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

Result<void> writeBoth(int fd, std::string_view first, std::string_view second) {
    while (!first.empty()) {
        struct iovec parts[2] = {
            {const_cast<char*>(first.data()), first.size()},
            {const_cast<char*>(second.data()), second.size()},
        };
        const ssize_t n = ::writev(fd, parts, second.empty() ? 1 : 2);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(writeError(errno));
        }
        auto done = static_cast<std::size_t>(n);
        if (done >= first.size()) {
            done -= first.size();
            first = {};
            second.remove_prefix(done);
        } else {
            first.remove_prefix(done);
        }
    }
    return writeAll(fd, second);
}

Result<Fd> openForReading(std::optional<int> directory_fd, std::string_view path,
                          OpenBlocking blocking) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    const int flags =
        O_RDONLY | O_CLOEXEC | O_NOCTTY | (blocking == OpenBlocking::nonblock ? O_NONBLOCK : 0);
    int raw = -1;
    do {
        raw = ::openat(directory_fd.value_or(AT_FDCWD), buffer.c_str(), flags);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return std::unexpected(openReadError(errno));
    return Fd(raw);
}

namespace {

Result<std::string> readToEnd(int fd, std::size_t limit) {
    try {
        std::string text;
        // Read one byte past the limit so that "exactly at the limit" and
        // "beyond it" can be told apart without trusting st_size.
        char chunk[16384];
        for (;;) {
            QS_TRY_ASSIGN(const std::size_t n, readSome(fd, chunk));
            if (n == 0) break;
            if (text.size() + n > limit) return std::unexpected(Error::FileTooBig);
            text.append(chunk, n);
        }
        return text;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

}  // namespace

Result<std::string> readWholeFile(std::string_view path, std::size_t limit) {
    QS_TRY_ASSIGN(Fd fd, openForReading(std::nullopt, path));
    return readToEnd(fd.get(), limit);
}

Result<std::string> readRegularFileNoFollow(std::string_view path, std::size_t limit) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    // Non-blocking so that a FIFO under the name cannot hold the open.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    int raw = -1;
    do {
        raw = ::open(buffer.c_str(), flags);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return std::unexpected(openReadError(errno));
    Fd fd(raw);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(statError(errno));
    if (!S_ISREG(info.st_mode)) return std::unexpected(Error::InvalidFormat);
    return readToEnd(fd.get(), limit);
}

Result<FileIdentity> fileIdentity(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::unexpected(statError(errno));
    FileIdentity identity;
    identity.size = info.st_size < 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(info.st_size);
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.inode = static_cast<std::uint64_t>(info.st_ino);
    return identity;
}

Result<void> readAtMostInto(int fd, std::uint64_t limit, std::string& bytes) {
    try {
        resizeForOverwrite(bytes, static_cast<std::size_t>(limit));
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            const auto n = readSome(fd, std::span<char>(bytes.data() + filled, bytes.size() - filled));
            if (!n) {
                bytes.clear();
                return std::unexpected(n.error());
            }
            if (*n == 0) break;
            filled += *n;
        }
        bytes.resize(filled);
        return {};
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    } catch (const std::length_error&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

Result<std::string> readAtMost(int fd, std::uint64_t limit) {
    std::string bytes;
    QS_TRY(readAtMostInto(fd, limit, bytes));
    return bytes;
}

}  // namespace qs::platform
