#pragma once
// Creating a small record file for writing (the ETag record beside a bundle).

#include <string_view>

#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs::platform {

// Opens `path` write-only, creating it with bits 0666 less the umask or
// truncating it, close-on-exec; relative paths start at the current
// directory. A path of kMaxSystemPath bytes or more fails with NameTooLong
// before any system call. Errors: PermissionDenied, FileNotFound,
// AccessDenied, PathAlreadyExists, NotDir, IsDir, NoSpaceLeft, SymLinkLoop,
// NameTooLong, SystemResources, ProcessFdQuotaExceeded,
// SystemFdQuotaExceeded, FileBusy, FileTooBig, BadPathName, DeviceBusy,
// NoDevice, WouldBlock, FileLocksNotSupported, Unexpected.
[[nodiscard]] Result<Fd> createForWrite(std::string_view path);

}  // namespace qs::platform
