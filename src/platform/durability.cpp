#include "platform/durability.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qs::platform {

namespace {

Error syncError(int e) {
    switch (e) {
    case EIO: return Error::InputOutput;
    case ENOSPC: return Error::NoSpaceLeft;
    case EDQUOT: return Error::DiskQuota;
    case EROFS: return Error::ReadOnlyFileSystem;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<void> syncFile(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return std::unexpected(syncError(errno));
    }
    return {};
}

void startWriteback(int fd) {
#if defined(__linux__)
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
#endif
}

bool fileSystemSyncAvailable() {
#if defined(__linux__)
    return true;
#else
    return false;
#endif
}

Result<void> syncFileSystem(int fd) {
#if defined(__linux__)
    while (::syncfs(fd) != 0) {
        if (errno != EINTR) return std::unexpected(syncError(errno));
    }
    return {};
#else
    (void)fd;
    return std::unexpected(Error::Unexpected);
#endif
}

}  // namespace qs::platform
