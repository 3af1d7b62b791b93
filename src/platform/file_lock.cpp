#include "platform/file_lock.hpp"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/process_state.hpp"
#include "util/path.hpp"

namespace qs::platform {

namespace {

// A holder that keeps removing and making the file again would keep a
// waiter opening it for ever; after this many tries the waiter gives up.
constexpr int kMaxOpenTries = 16;
// "{pid}\n" of any system's process IDs fits.
constexpr std::size_t kHolderTextBytes = 24;

Error openLockError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case EACCES: return Error::AccessDenied;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EDQUOT: return Error::DiskQuota;
    case EROFS: return Error::ReadOnlyFileSystem;
    // FreeBSD refuses O_NOFOLLOW on a link with EMLINK, Linux with ELOOP.
    case ELOOP:
    case EMLINK: return Error::SymLinkLoop;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ENOMEM: return Error::SystemResources;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case ENXIO:
    case ENODEV: return Error::NoDevice;
    default: return Error::Unexpected;
    }
}

Error flockError(int e) {
    switch (e) {
    case EWOULDBLOCK: return Error::WouldBlock;
    case ENOLCK: return Error::SystemResources;
    case EINVAL:
    case EOPNOTSUPP: return Error::FileLocksNotSupported;
    default: return Error::Unexpected;
    }
}

// Takes the lock on an open file; EINTR from a signal that is not a stop
// goes back to waiting.
Result<void> lockOpenFile(int fd, LockWait wait) {
    const int operation = wait == LockWait::wait ? LOCK_EX : LOCK_EX | LOCK_NB;
    while (::flock(fd, operation) != 0) {
        if (errno != EINTR) return std::unexpected(flockError(errno));
        if (shutdownRequested()) return std::unexpected(Error::Interrupted);
    }
    return {};
}

// Whether `path` still names the file open as `fd`.
bool stillNamed(int fd, const char* path) {
    struct stat open_file {};
    struct stat named {};
    if (::fstat(fd, &open_file) != 0 || ::lstat(path, &named) != 0) return false;
    return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

}  // namespace

Result<FileLock> FileLock::take(std::string_view path, LockWait wait) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    for (int attempt = 0; attempt < kMaxOpenTries; ++attempt) {
        // O_NONBLOCK: a FIFO planted under the name must not hold the open.
        int raw = -1;
        do {
            raw = ::open(buffer.c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
        } while (raw < 0 && errno == EINTR);
        if (raw < 0) return std::unexpected(openLockError(errno));
        FileLock lock;
        lock.fd_ = Fd(raw);
        struct stat info {};
        if (::fstat(raw, &info) != 0) return std::unexpected(Error::Unexpected);
        if (!S_ISREG(info.st_mode)) return std::unexpected(Error::InvalidFormat);
        QS_TRY(lockOpenFile(raw, wait));
        if (!stillNamed(raw, buffer.c_str())) continue;

        std::array<char, kHolderTextBytes> before{};
        const ssize_t length = ::pread(raw, before.data(), before.size(), 0);
        const std::string mine = std::to_string(::getpid()) + "\n";
        lock.others_held_it_ =
            length < 0 || std::string_view(before.data(), static_cast<std::size_t>(length)) != mine;
        if (lock.others_held_it_) {
            // Only a help to whoever looks; the lock works without it.
            if (::ftruncate(raw, 0) == 0) (void)!::pwrite(raw, mine.data(), mine.size(), 0);
        }
        return lock;
    }
    return std::unexpected(Error::FileBusy);
}

void FileLock::removeName(std::string_view path) {
    PathBuffer buffer;
    if (!composeSystemPath(buffer, {path})) return;
    if (fd_ && stillNamed(fd_.get(), buffer.c_str())) (void)::unlink(buffer.c_str());
}

bool processAlive(int pid) {
    if (pid < 1) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace qs::platform
