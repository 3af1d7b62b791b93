#pragma once
// Mode and owner of an open file, changed through its descriptor.

#include <cstdint>

#include "util/error.hpp"

namespace qs::platform {

// An ID that fchown(2) leaves as it is.
inline constexpr std::uint32_t kUnchangedId = 0xFFFF'FFFFu;

// fchmod(2), retried after EINTR. Errors: PermissionDenied, FileNotFound,
// InputOutput, SystemResources, AccessDenied, ReadOnlyFileSystem,
// SymLinkLoop, Unexpected.
[[nodiscard]] Result<void> changeMode(int fd, std::uint32_t mode);

// fchown(2), retried after EINTR; kUnchangedId keeps that ID. Errors as
// changeMode.
[[nodiscard]] Result<void> changeOwner(int fd, std::uint32_t uid, std::uint32_t gid);

}  // namespace qs::platform
