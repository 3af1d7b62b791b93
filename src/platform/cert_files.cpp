#include "platform/cert_files.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "util/path.hpp"

namespace qs::platform {

namespace {

DIR* asDir(void* handle) { return static_cast<DIR*>(handle); }

Error openDirectoryError(int e) {
    switch (e) {
    case ENOENT: return Error::FileNotFound;
    case EACCES: return Error::AccessDenied;
    case EPERM: return Error::PermissionDenied;
    case ENOTDIR: return Error::NotDir;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ENOMEM: return Error::SystemResources;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    default: return Error::Unexpected;
    }
}

Error readDirectoryError(int e) {
    switch (e) {
    case EIO: return Error::InputOutput;
    case ENOTDIR: return Error::NotDir;
    case ENOENT: return Error::FileNotFound;
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

Result<Directory> Directory::open(std::string_view path) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    int raw = -1;
    do {
        raw = ::open(buffer.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return std::unexpected(openDirectoryError(errno));
    DIR* dir = ::fdopendir(raw);
    if (dir == nullptr) {
        const int e = errno;
        ::close(raw);
        return std::unexpected(openDirectoryError(e));
    }
    return Directory(dir);
}

Directory::Directory(Directory&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
}

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) ::closedir(asDir(handle_));
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

Directory::~Directory() {
    if (handle_ != nullptr) ::closedir(asDir(handle_));
}

int Directory::fd() const { return ::dirfd(asDir(handle_)); }

Result<std::optional<DirectoryEntry>> Directory::next() {
    for (;;) {
        // readdir(3) tells the end from a failure only through errno.
        errno = 0;
        const struct dirent* entry = ::readdir(asDir(handle_));
        if (entry == nullptr) {
            if (errno != 0) return std::unexpected(readDirectoryError(errno));
            return std::optional<DirectoryEntry>{};
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        EntryType type = EntryType::other;
        switch (entry->d_type) {
        case DT_REG: type = EntryType::regular; break;
        case DT_LNK: type = EntryType::symlink; break;
        case DT_UNKNOWN: type = EntryType::unknown; break;
        default: type = EntryType::other; break;
        }
        return std::optional<DirectoryEntry>(DirectoryEntry{name, type});
    }
}

// Certificate files are opened without blocking: a FIFO placed among them
// must not stall every poll.
Result<Fd> openFileReadOnly(std::string_view path) {
    return openForReading(std::nullopt, path, OpenBlocking::nonblock);
}

Result<Fd> openFileReadOnlyAt(int directory_fd, std::string_view name) {
    return openForReading(directory_fd, name, OpenBlocking::nonblock);
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

Result<std::string> readAtMost(int fd, std::uint64_t limit) {
    try {
        std::string bytes;
        bytes.resize(static_cast<std::size_t>(limit));
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            QS_TRY_ASSIGN(
                const std::size_t n,
                readSome(fd, std::span<char>(bytes.data() + filled, bytes.size() - filled)));
            if (n == 0) break;
            filled += n;
        }
        bytes.resize(filled);
        return bytes;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    } catch (const std::length_error&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

}  // namespace qs::platform
