#include "platform/directory.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include "util/path.hpp"

namespace qs::platform {

namespace {

#if defined(__linux__)
// The kernel's record layout for getdents64 is glibc's struct dirent64.
using RawEntry = struct dirent64;
long readRawEntries(int fd, char* buffer, std::size_t size) {
    return ::syscall(SYS_getdents64, fd, buffer, size);
}
#else
using RawEntry = struct dirent;
long readRawEntries(int fd, char* buffer, std::size_t size) {
    return static_cast<long>(::getdents(fd, buffer, size));
}
#endif

Error openDirectoryError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case EACCES: return Error::AccessDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EBUSY: return Error::DeviceBusy;
    case ENOTDIR: return Error::NotDir;
    // FreeBSD refuses a link under O_NOFOLLOW with EMLINK, Linux with ELOOP.
    case ELOOP:
    case EMLINK: return Error::SymLinkLoop;
    case ENAMETOOLONG: return Error::NameTooLong;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case ENXIO:
    case ENODEV: return Error::NoDevice;
    default: return Error::Unexpected;  // EIO and EROFS included
    }
}

Error unlinkError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case EACCES: return Error::AccessDenied;
    case ENOENT: return Error::FileNotFound;
    case EIO: return Error::FileSystem;
    case ENOMEM: return Error::SystemResources;
    case EBUSY: return Error::FileBusy;
    case EEXIST:
    case ENOTEMPTY: return Error::DirNotEmpty;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ELOOP: return Error::SymLinkLoop;
    case ENAMETOOLONG: return Error::NameTooLong;
    default: return Error::Unexpected;
    }
}

EntryType entryType(std::uint8_t type) {
    switch (type) {
    case DT_DIR: return EntryType::directory;
    case DT_REG: return EntryType::regular;
    case DT_LNK: return EntryType::symlink;
    case DT_UNKNOWN: return EntryType::unknown;
    default: return EntryType::other;
    }
}

Result<Fd> openDirectoryIn(int directory, std::string_view path, int extra_flags) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra_flags;
    for (;;) {
        const int fd = ::openat(directory, buffer.c_str(), flags);
        if (fd >= 0) return Fd(fd);
        if (errno == EINTR) continue;
        const int e = errno;
        // Linux checks O_DIRECTORY before O_NOFOLLOW and calls a link
        // "not a directory"; name the refusal for what it is.
        if (e == ENOTDIR && (extra_flags & O_NOFOLLOW) != 0) {
            struct stat st {};
            if (::fstatat(directory, buffer.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                return std::unexpected(Error::SymLinkLoop);
            }
        }
        return std::unexpected(openDirectoryError(e));
    }
}

}  // namespace

Result<std::optional<DirectoryEntry>> DirectoryCursor::next(int fd) {
    for (;;) {
        if (position_ >= fill_) {
            long n = 0;
            do {
                n = readRawEntries(fd, buffer_.data(), buffer_.size());
            } while (n < 0 && errno == EINTR);
            if (n < 0) {
                // A directory removed under the reader has no entries left.
                if (errno == ENOENT) return std::nullopt;
                return std::unexpected(Error::Unexpected);
            }
            if (n == 0) return std::nullopt;
            position_ = 0;
            fill_ = static_cast<std::size_t>(n);
        }

        const char* record = buffer_.data() + position_;
        std::uint16_t record_length = 0;
        std::uint8_t type = 0;
        std::memcpy(&record_length, record + offsetof(RawEntry, d_reclen), sizeof record_length);
        std::memcpy(&type, record + offsetof(RawEntry, d_type), sizeof type);
        // A record that does not fit what the system handed over would make
        // every later position meaningless; treat the chunk as spent.
        if (record_length == 0 || record_length > fill_ - position_) {
            position_ = fill_;
            return std::unexpected(Error::Unexpected);
        }
        position_ += record_length;

        const char* name = record + offsetof(RawEntry, d_name);
        const std::size_t name_room = record_length - offsetof(RawEntry, d_name);
        const std::size_t length = ::strnlen(name, name_room);
        if (length == name_room) return std::unexpected(Error::Unexpected);  // no NUL
        if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.'))
            continue;
        return DirectoryEntry{name, length, entryType(type)};
    }
}

Result<Fd> openDirectory(std::string_view path) { return openDirectoryIn(AT_FDCWD, path, 0); }

Result<Fd> openDirectoryNoFollowAt(int directory, std::string_view name) {
    return openDirectoryIn(directory, name, O_NOFOLLOW);
}

Result<void> unlinkAt(int dirfd, const char* name, UnlinkTarget target) {
    const int flags = target == UnlinkTarget::directory ? AT_REMOVEDIR : 0;
    while (::unlinkat(dirfd, name, flags) != 0) {
        if (errno != EINTR) return std::unexpected(unlinkError(errno));
    }
    return {};
}

Result<bool> isDirectoryAt(int dirfd, const char* name) {
    struct stat status {};
    while (::fstatat(dirfd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != EINTR) return std::unexpected(Error::Unexpected);
    }
    return S_ISDIR(status.st_mode);
}

Result<EntryUsage> entryUsageAt(int dirfd, const char* name) {
    struct stat status {};
    while (::fstatat(dirfd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        switch (errno) {
        case EINTR: continue;
        case ENOENT: return std::unexpected(Error::FileNotFound);
        case EACCES: return std::unexpected(Error::AccessDenied);
        case ENAMETOOLONG: return std::unexpected(Error::NameTooLong);
        case ENOTDIR: return std::unexpected(Error::NotDir);
        case ENOMEM: return std::unexpected(Error::SystemResources);
        default: return std::unexpected(Error::Unexpected);
        }
    }
    EntryUsage usage;
    // st_blocks counts 512-byte units on both Linux and FreeBSD, whatever
    // the file system's block size.
    usage.bytes = static_cast<std::uint64_t>(status.st_blocks) * 512U;
    usage.size = static_cast<std::uint64_t>(status.st_size);
    usage.regular = S_ISREG(status.st_mode);
    usage.device = static_cast<std::uint64_t>(status.st_dev);
    usage.inode = static_cast<std::uint64_t>(status.st_ino);
    usage.links = static_cast<std::uint64_t>(status.st_nlink);
    usage.directory = S_ISDIR(status.st_mode);
    return usage;
}

}  // namespace qs::platform
