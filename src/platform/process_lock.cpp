#include "platform/process_lock.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "util/path.hpp"

namespace qs::platform {

namespace {

Error openError(int error) {
    switch (error) {
    case ENOENT: return Error::FileNotFound;
    case EACCES: return Error::AccessDenied;
    case EPERM: return Error::PermissionDenied;
    case ELOOP: return Error::SymLinkLoop;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EDQUOT: return Error::DiskQuota;
    case EROFS: return Error::ReadOnlyFileSystem;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case ENAMETOOLONG: return Error::NameTooLong;
    default: return Error::Unexpected;
    }
}

Error lockError(int error) {
    switch (error) {
    case EACCES:
    case EAGAIN: return Error::WouldBlock;
    case ENOLCK:
    case EINVAL:
    case EOPNOTSUPP: return Error::FileLocksNotSupported;
    default: return Error::Unexpected;
    }
}

Result<Fd> openLockFile(std::string_view path, int flags) {
    PathBuffer text;
    QS_TRY(composeSystemPath(text, {path}));
    for (;;) {
        const int fd = ::open(text.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) return std::unexpected(openError(errno));
    }
}

struct flock wholeFile(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

}  // namespace

Result<Fd> holdProcessLock(std::string_view path) {
    QS_TRY_ASSIGN(Fd file, openLockFile(path, O_RDWR | O_CREAT));
    struct flock lock = wholeFile(F_WRLCK);
    while (::fcntl(file.get(), F_SETLK, &lock) != 0) {
        if (errno != EINTR) return std::unexpected(lockError(errno));
    }
    return file;
}

Result<int> processLockHolder(std::string_view path) {
    QS_TRY_ASSIGN(const Fd file, openLockFile(path, O_RDONLY));
    struct flock lock = wholeFile(F_WRLCK);
    while (::fcntl(file.get(), F_GETLK, &lock) != 0) {
        if (errno != EINTR) return std::unexpected(lockError(errno));
    }
    if (lock.l_type == F_UNLCK) return 0;
    return static_cast<int>(lock.l_pid);
}

bool processExists(int pid) {
    if (pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace qs::platform
