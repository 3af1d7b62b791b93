#include "platform/path_calls.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/syscall.h>
#endif

#include "util/path.hpp"

namespace qs::platform {

namespace {

Error symlinkError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case EIO: return Error::FileSystem;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EEXIST: return Error::PathAlreadyExists;
    case ENOTDIR: return Error::NotDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ELOOP: return Error::SymLinkLoop;
    case ENAMETOOLONG: return Error::NameTooLong;
    case EDQUOT: return Error::DiskQuota;
    default: return Error::Unexpected;
    }
}

Error renameError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EBUSY: return Error::FileBusy;
    case EEXIST: return Error::PathAlreadyExists;
    case EXDEV: return Error::RenameAcrossMountPoints;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EROFS: return Error::ReadOnlyFileSystem;
    case EMLINK: return Error::LinkQuotaExceeded;
    case ELOOP: return Error::SymLinkLoop;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ENOTEMPTY: return Error::PathAlreadyExists;
    case EDQUOT: return Error::DiskQuota;
    default: return Error::Unexpected;
    }
}

Error lstatError(int e) {
    switch (e) {
    case ENAMETOOLONG: return Error::NameTooLong;
    case ENOTDIR: return Error::NotDir;
    case EACCES: return Error::AccessDenied;
    case ELOOP: return Error::SymLinkLoop;
    case ENOMEM: return Error::SystemResources;
    case EIO: return Error::InputOutput;
    default: return Error::Unexpected;
    }
}

Error statError(int e) {
    switch (e) {
    case ENOENT: return Error::FileNotFound;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ENOTDIR: return Error::NotDir;
    case EACCES: return Error::AccessDenied;
    case ELOOP: return Error::SymLinkLoop;
    case ENOMEM: return Error::SystemResources;
    case EIO: return Error::InputOutput;
    default: return Error::Unexpected;
    }
}

Error accessError(int e) {
    switch (e) {
    case ENOENT: return Error::FileNotFound;
    case ENOTDIR: return Error::NotDir;
    case EACCES: return Error::AccessDenied;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    default: return Error::Unexpected;
    }
}

Error readlinkError(int e) {
    switch (e) {
    case ENOENT: return Error::FileNotFound;
    case ENOTDIR: return Error::NotDir;
    case EACCES: return Error::AccessDenied;
    case EINVAL: return Error::BadPathName;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<void> createSymlink(std::string_view target, std::string_view link_path) {
    PathBuffer target_text;
    PathBuffer link_text;
    QS_TRY(composeSystemPath(target_text, {target}));
    QS_TRY(composeSystemPath(link_text, {link_path}));
    if (::symlink(target_text.c_str(), link_text.c_str()) == 0) return {};
    return std::unexpected(symlinkError(errno));
}

// rename() is renameat() from the working directory: one call, one table.
Result<void> renamePath(std::string_view from, std::string_view to) {
    return renameAt(AT_FDCWD, from, to);
}

Result<void> renameAt(int directory, std::string_view from, std::string_view to) {
    PathBuffer from_text;
    PathBuffer to_text;
    QS_TRY(composeSystemPath(from_text, {from}));
    QS_TRY(composeSystemPath(to_text, {to}));
    if (::renameat(directory, from_text.c_str(), directory, to_text.c_str()) == 0) return {};
    return std::unexpected(renameError(errno));
}

Result<void> renameBetween(int from_directory, std::string_view from, int to_directory,
                           std::string_view to) {
    PathBuffer from_text;
    PathBuffer to_text;
    QS_TRY(composeSystemPath(from_text, {from}));
    QS_TRY(composeSystemPath(to_text, {to}));
    if (::renameat(from_directory, from_text.c_str(), to_directory, to_text.c_str()) == 0) return {};
    return std::unexpected(renameError(errno));
}

Result<EntryKind> entryKindAt(int directory, std::string_view name) {
    PathBuffer text;
    QS_TRY(composeSystemPath(text, {name}));
    struct stat status {};
    while (::fstatat(directory, text.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == EINTR) continue;
        if (errno == ENOENT) return EntryKind::missing;
        return std::unexpected(lstatError(errno));
    }
    if (S_ISDIR(status.st_mode)) return EntryKind::directory;
    if (S_ISREG(status.st_mode)) return EntryKind::regular;
    if (S_ISLNK(status.st_mode)) return EntryKind::symlink;
    return EntryKind::special;
}

Result<PathKind> pathKind(std::string_view path) {
    PathBuffer text;
    QS_TRY(composeSystemPath(text, {path}));
    struct stat status {};
    if (::lstat(text.c_str(), &status) != 0) {
        if (errno == ENOENT) return PathKind::missing;
        return std::unexpected(lstatError(errno));
    }
    if (S_ISDIR(status.st_mode)) return PathKind::directory;
    if (S_ISLNK(status.st_mode)) return PathKind::symlink;
    return PathKind::other;
}

Result<PathStatus> pathStatus(std::string_view path) {
    PathBuffer text;
    QS_TRY(composeSystemPath(text, {path}));
    struct stat status {};
    if (::stat(text.c_str(), &status) != 0) return std::unexpected(statError(errno));
    PathStatus result;
    result.device = static_cast<std::uint64_t>(status.st_dev);
    result.inode = static_cast<std::uint64_t>(status.st_ino);
    result.size = static_cast<std::uint64_t>(status.st_size);
    result.modified_ns = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 +
                         static_cast<std::int64_t>(status.st_mtim.tv_nsec);
    result.mode = static_cast<std::uint32_t>(status.st_mode & 07777);
    return result;
}

Result<std::int64_t> modifiedSeconds(std::string_view path) {
    PathBuffer text;
    QS_TRY(composeSystemPath(text, {path}));
    struct stat status {};
    if (::lstat(text.c_str(), &status) != 0) {
        if (errno == ENOENT) return std::unexpected(Error::FileNotFound);
        return std::unexpected(lstatError(errno));
    }
    return static_cast<std::int64_t>(status.st_mtime);
}

Result<void> copyModifiedTime(std::string_view from, std::string_view to) {
    PathBuffer from_text;
    PathBuffer to_text;
    QS_TRY(composeSystemPath(from_text, {from}));
    QS_TRY(composeSystemPath(to_text, {to}));
    struct stat status {};
    if (::lstat(from_text.c_str(), &status) != 0) {
        if (errno == ENOENT) return std::unexpected(Error::FileNotFound);
        return std::unexpected(lstatError(errno));
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, status.st_mtim};
    if (::utimensat(AT_FDCWD, to_text.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        switch (errno) {
        case ENOENT: return std::unexpected(Error::FileNotFound);
        case EACCES: return std::unexpected(Error::AccessDenied);
        case EPERM: return std::unexpected(Error::PermissionDenied);
        case EROFS: return std::unexpected(Error::ReadOnlyFileSystem);
        default: return std::unexpected(lstatError(errno));
        }
    }
    return {};
}

Result<void> checkWritableDirectory(std::string_view path) {
    PathBuffer text;
    QS_TRY(composeSystemPath(text, {path}));
    if (::access(text.c_str(), W_OK | X_OK) != 0) return std::unexpected(accessError(errno));
    return {};
}

Result<Exchange> exchangePaths(std::string_view from, std::string_view to) {
    PathBuffer from_text;
    PathBuffer to_text;
    QS_TRY(composeSystemPath(from_text, {from}));
    QS_TRY(composeSystemPath(to_text, {to}));
#if defined(__linux__) && defined(SYS_renameat2) && defined(RENAME_EXCHANGE)
    if (::syscall(SYS_renameat2, AT_FDCWD, from_text.c_str(), AT_FDCWD, to_text.c_str(),
                  RENAME_EXCHANGE) == 0) {
        return Exchange::exchanged;
    }
    // Kernels without the call say ENOSYS; file systems without the flag
    // EINVAL.
    if (errno == ENOSYS || errno == EINVAL) return Exchange::unsupported;
    return std::unexpected(renameError(errno));
#else
    return Exchange::unsupported;
#endif
}

Result<Exchange> exchangeBetween(int from_directory, std::string_view from, int to_directory,
                                 std::string_view to) {
    PathBuffer from_text;
    PathBuffer to_text;
    QS_TRY(composeSystemPath(from_text, {from}));
    QS_TRY(composeSystemPath(to_text, {to}));
#if defined(__linux__) && defined(SYS_renameat2) && defined(RENAME_EXCHANGE)
    if (::syscall(SYS_renameat2, from_directory, from_text.c_str(), to_directory, to_text.c_str(),
                  RENAME_EXCHANGE) == 0) {
        return Exchange::exchanged;
    }
    if (errno == ENOSYS || errno == EINVAL) return Exchange::unsupported;
    return std::unexpected(renameError(errno));
#else
    (void)from_directory;
    (void)to_directory;
    return Exchange::unsupported;
#endif
}

Result<std::size_t> readLink(std::string_view path, std::span<char> out) {
    // No room at all: readlink(2) would be handed a null buffer.
    if (out.empty()) return std::unexpected(Error::NameTooLong);
    PathBuffer text;
    QS_TRY(composeSystemPath(text, {path}));
    const ssize_t n = ::readlink(text.c_str(), out.data(), out.size());
    if (n < 0) return std::unexpected(readlinkError(errno));
    const auto length = static_cast<std::size_t>(n);
    if (length >= out.size()) return std::unexpected(Error::NameTooLong);
    return length;
}

void unlinkIgnoringResult(std::string_view path) {
    PathBuffer text;
    if (!composeSystemPath(text, {path})) return;
    (void)::unlink(text.c_str());
}

}  // namespace qs::platform
