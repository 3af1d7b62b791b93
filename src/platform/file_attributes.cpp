#include "platform/file_attributes.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace qs::platform {

namespace {

// fchmod and fchown fail alike.
Error attributeError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT:
    case ENOTDIR: return Error::FileNotFound;
    case EIO: return Error::InputOutput;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ELOOP: return Error::SymLinkLoop;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<void> changeMode(int fd, std::uint32_t mode) {
    while (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        if (errno != EINTR) return std::unexpected(attributeError(errno));
    }
    return {};
}

Result<void> changeOwner(int fd, std::uint32_t uid, std::uint32_t gid) {
    // (uid_t)-1 and (gid_t)-1 are the "leave unchanged" values of fchown.
    while (::fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
        if (errno != EINTR) return std::unexpected(attributeError(errno));
    }
    return {};
}

}  // namespace qs::platform
