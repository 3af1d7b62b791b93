#include "platform/file_create.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "util/path.hpp"

namespace qs::platform {

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0666;

Error mkdirError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case EACCES: return Error::AccessDenied;
    case ENOTDIR: return Error::NotDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EROFS: return Error::ReadOnlyFileSystem;
    case EMLINK: return Error::LinkQuotaExceeded;
    case ELOOP: return Error::SymLinkLoop;
    case ENAMETOOLONG: return Error::NameTooLong;
    case EDQUOT: return Error::DiskQuota;
    case ENOMEM: return Error::SystemResources;
    default: return Error::Unexpected;
    }
}

// `no_follow` tells whether O_NOFOLLOW was given: FreeBSD reports a refused
// link with EMLINK, Linux with ELOOP, and both mean the same here.
Error createError(int e, bool no_follow) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case EACCES: return Error::AccessDenied;
    case EEXIST: return Error::PathAlreadyExists;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case ELOOP: return Error::SymLinkLoop;
    case EMLINK: return no_follow ? Error::SymLinkLoop : Error::Unexpected;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ENOMEM: return Error::SystemResources;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case ETXTBSY: return Error::FileBusy;
    case EFBIG:
    case EOVERFLOW: return Error::FileTooBig;
    case EINVAL: return Error::BadPathName;
    case EBUSY: return Error::DeviceBusy;
    case ENXIO:
    case ENODEV: return Error::NoDevice;
    case EAGAIN: return Error::WouldBlock;
    case EOPNOTSUPP: return Error::FileLocksNotSupported;
    default: return Error::Unexpected;
    }
}

Result<DirectoryMade> mkdirIn(int directory, std::string_view path, mode_t mode = kDirectoryMode) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    if (::mkdirat(directory, buffer.c_str(), mode) == 0) return DirectoryMade::created;
    if (errno == EEXIST) return DirectoryMade::existed;
    return std::unexpected(mkdirError(errno));
}

Result<Fd> createIn(int directory, std::string_view path, int flags) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    for (;;) {
        const int fd = ::openat(directory, buffer.c_str(), flags, kFileMode);
        if (fd >= 0) return Fd(fd);
        if (errno == EINTR) continue;
        return std::unexpected(createError(errno, (flags & O_NOFOLLOW) != 0));
    }
}

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY;

}  // namespace

Result<DirectoryMade> makeDirectory(std::string_view path) { return mkdirIn(AT_FDCWD, path); }

Result<DirectoryMade> makePrivateDirectory(std::string_view path) {
    // Status records say which bundles fail and why; only the agent's user
    // needs to read them.
    constexpr mode_t kPrivateDirectoryMode = 0700;
    return mkdirIn(AT_FDCWD, path, kPrivateDirectoryMode);
}

Result<DirectoryMade> makeDirectoryAt(int directory, std::string_view name) {
    return mkdirIn(directory, name);
}

Result<Fd> createFile(std::string_view path) {
    return createIn(AT_FDCWD, path, kCreateFlags);
}

Result<Fd> createFileNoFollowAt(int directory, std::string_view name) {
    return createIn(directory, name, kCreateFlags | O_NOFOLLOW);
}

std::optional<Fd> createFileBeneath(int directory, std::string_view relative) {
#if defined(__linux__) && defined(SYS_openat2)
    // Kernels before 5.6 answer ENOSYS once; after that the walk is used
    // without asking again.
    static bool unsupported = false;
    if (unsupported) return std::nullopt;
    PathBuffer text;
    if (!composeSystemPath(text, {relative})) return std::nullopt;
    struct open_how how {};
    how.flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    how.mode = 0666;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long raw = ::syscall(SYS_openat2, directory, text.c_str(), &how, sizeof how);
        if (raw >= 0) return Fd(static_cast<int>(raw));
        if (errno == EINTR) continue;
        if (errno == ENOSYS) unsupported = true;
        return std::nullopt;
    }
#else
    (void)directory;
    (void)relative;
    return std::nullopt;
#endif
}

}  // namespace qs::platform
