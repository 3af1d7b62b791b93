#include "platform/record_file.hpp"

#include <cerrno>
#include <fcntl.h>

#include "util/path.hpp"

namespace qs::platform {

namespace {

// The names file creation reports everywhere in the agent, so a failed
// record and a failed extracted file read alike in the log.
Error createError(int e) {
    switch (e) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case EACCES: return Error::AccessDenied;
    case EEXIST: return Error::PathAlreadyExists;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case ELOOP: return Error::SymLinkLoop;
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

}  // namespace

Result<Fd> createForWrite(std::string_view path) {
    PathBuffer buffer;
    QS_TRY(composeSystemPath(buffer, {path}));
    for (;;) {
        const int raw = ::openat(AT_FDCWD, buffer.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (raw >= 0) return Fd(raw);
        if (errno != EINTR) return std::unexpected(createError(errno));
    }
}

}  // namespace qs::platform
