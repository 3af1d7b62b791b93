#pragma once
// Permission bits and owner of a freshly written file, set on its still open
// descriptor (never by path, so a file swapped under the name is not touched).
// Never fails the caller: every problem becomes a warning line and the file
// keeps whatever was already set.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qs {

// Gives the open file `fd` its mode and, when `extract_owner` is set, its
// owner. The mode is `extract_mode` when set, else `entry_mode` when not 0
// (the tar header's mode; 0 means "no header mode", as for raw files and
// links), else 0600 when an owner is configured; with none of these nothing
// is changed. Only the permission bits (0777) are applied, and bits of 0
// leave the mode alone. `extract_owner` takes the forms user, user:group,
// :group and user:, each part a name or a decimal number; a bare user name
// also sets the user's primary group. `display_path` is used only in the
// warning lines.
void applyOwnership(int fd, std::string_view display_path,
                    const std::optional<std::string>& extract_owner,
                    std::optional<std::uint32_t> extract_mode, std::uint32_t entry_mode);

// Whether every name in `extract_owner` (forms as above) is a known user or
// group, as applyOwnership would find it now; numbers always resolve.
[[nodiscard]] bool ownerResolves(std::string_view extract_owner);

// For a file created 0600 so that nobody could open it while it was being
// written: applyOwnership, and where that leaves the mode alone, the mode a
// plainly created file would have had (0666 less the umask).
void applyFinalOwnership(int fd, std::string_view display_path,
                         const std::optional<std::string>& extract_owner,
                         std::optional<std::uint32_t> extract_mode, std::uint32_t entry_mode);

}  // namespace qs
