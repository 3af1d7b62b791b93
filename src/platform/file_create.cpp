#include "platform/file_create.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

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
// A file being written is the agent's alone; it gets its final mode after.
constexpr mode_t kNewFileMode = 0600;
// Tries at removing what sits under a name before creating the file there:
// someone planting entries as fast as they are removed gets an error, not
// an endless loop.
constexpr int kReplaceAttempts = 4;

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

Result<Fd> createIn(int directory, std::string_view path, int flags, mode_t mode = kFileMode) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    for (;;) {
        const int fd = ::openat(directory, buffer.c_str(), flags, mode);
        if (fd >= 0) return Fd(fd);
        if (errno == EINTR) continue;
        return std::unexpected(createError(errno, (flags & O_NOFOLLOW) != 0));
    }
}

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY;
constexpr int kNewFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

Error removeError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case EACCES: return Error::AccessDenied;
    case EBUSY: return Error::FileBusy;
    case EISDIR: return Error::IsDir;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ENOTDIR: return Error::NotDir;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ENOMEM: return Error::SystemResources;
    case EIO: return Error::FileSystem;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<DirectoryMade> makeDirectory(std::string_view path) { return mkdirIn(AT_FDCWD, path); }

Result<PrivateDirectory> makePrivateDirectory(std::string_view path) {
    // Status records say which bundles fail and why, and the digest and
    // Last-Modified records decide what gets installed: only the agent's
    // user may read or write there.
    constexpr mode_t kPrivateDirectoryMode = 0700;
    constexpr mode_t kOthersAccess = 077;
    constexpr mode_t kOthersWrite = 022;
    QS_TRY_ASSIGN(const DirectoryMade made, mkdirIn(AT_FDCWD, path, kPrivateDirectoryMode));
    if (made == DirectoryMade::created) return PrivateDirectory::created;
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    // The mode is read and changed on what was opened, so that a rename in
    // between cannot turn the change onto something else.
    const int fd = ::open(buffer.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return PrivateDirectory::existed;
    const Fd directory(fd);
    struct stat st {};
    if (::fstat(directory.get(), &st) != 0) return PrivateDirectory::existed;
    const uid_t self = ::geteuid();
    if (st.st_uid != self) {
        // Its owner can always write there; root's own directories are
        // trusted unless they are open to everybody.
        if (st.st_uid != 0 || (st.st_mode & kOthersWrite) != 0) return PrivateDirectory::open_to_others;
        return PrivateDirectory::existed;
    }
    if ((st.st_mode & kOthersAccess) == 0) return PrivateDirectory::existed;
    // A shared place such as /tmp is never narrowed for everybody else.
    if ((st.st_mode & S_ISVTX) != 0 && (st.st_mode & kOthersWrite) != 0)
        return PrivateDirectory::open_to_others;
    while (::fchmod(directory.get(), kPrivateDirectoryMode) != 0) {
        if (errno == EINTR) continue;
        return std::unexpected(mkdirError(errno));
    }
    return PrivateDirectory::made_private;
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

const int kWorkingDirectory = AT_FDCWD;

Result<Fd> createNewFileAt(int directory, std::string_view name) {
    return createIn(directory, name, kNewFileFlags, kNewFileMode);
}

Result<Fd> replaceFileAt(int directory, std::string_view name) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {name}));
    for (int attempt = 0;; ++attempt) {
        auto created = createNewFileAt(directory, name);
        if (created || created.error() != Error::PathAlreadyExists || attempt == kReplaceAttempts)
            return created;
        // unlinkat removes the name, never what a link points to, and a
        // hard link's other names keep their data untouched.
        if (::unlinkat(directory, buffer.c_str(), 0) != 0 && errno != ENOENT) {
            // Linux answers EISDIR, POSIX allows EPERM for a directory.
            if (errno == EPERM) {
                struct stat st {};
                if (::fstatat(directory, buffer.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(st.st_mode))
                    return std::unexpected(Error::IsDir);
            }
            return std::unexpected(removeError(errno));
        }
    }
}

void removeEntryIgnoringResult(int directory, std::string_view name) {
    PathBuffer buffer;
    if (!composeSystemPath(buffer, {name})) return;
    (void)::unlinkat(directory, buffer.c_str(), 0);
}

std::uint32_t plainFileMode() {
    // The umask can only be read by setting it. Read afresh each time, as
    // the operator's umask is; for the moment between the calls a file made
    // elsewhere would only come out more private, never less.
    const mode_t previous = ::umask(0077);
    ::umask(previous);
    return static_cast<std::uint32_t>(kFileMode & ~previous);
}

Result<Fd> createExclusiveFile(std::string_view path) { return createExclusiveFileAt(AT_FDCWD, path); }

Result<Fd> createExclusiveFileAt(int directory, std::string_view name) {
    constexpr int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    QS_TRY_ASSIGN(Fd fd, createIn(directory, name, flags, 0600));
    return fd;
}

Result<Fd> createUnnamedFile(std::string_view directory) {
#if defined(O_TMPFILE)
    {
        PathBuffer buffer;
        QS_TRY(composeSystemPath(buffer, {directory}));
        int fd = -1;
        do {
            fd = ::open(buffer.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return Fd(fd);
        // Only a file system without unnamed files goes on to the named way.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return std::unexpected(createError(errno, false));
        }
    }
#endif
    // Names differ per process and per call, so a stale one from a crash
    // never blocks the next.
    static std::atomic<unsigned> counter{0};
    std::string path;
    try {
        path.append(directory).append("/.unnamed-").append(std::to_string(::getpid()))
            .append("-").append(std::to_string(counter++));
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::SystemResources);
    }
    QS_TRY_ASSIGN(Fd fd, createExclusiveFile(path));
    (void)::unlink(path.c_str());
    return fd;
}

std::uint32_t fileCreationMask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<std::uint32_t>(mask);
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
    how.flags = kNewFileFlags;
    how.mode = kNewFileMode;
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
