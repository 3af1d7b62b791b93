#include "platform/users.hpp"

#include <grp.h>
#include <pwd.h>

namespace qs::platform {

// Both calls return the system library's static result area; the IDs are
// read at once and nothing of it is kept.

std::optional<UserIds> lookupUser(const char* name) {
    const struct passwd* entry = ::getpwnam(name);
    if (entry == nullptr) return std::nullopt;
    return UserIds{static_cast<std::uint32_t>(entry->pw_uid),
                   static_cast<std::uint32_t>(entry->pw_gid)};
}

std::optional<std::uint32_t> lookupGroup(const char* name) {
    const struct group* entry = ::getgrnam(name);
    if (entry == nullptr) return std::nullopt;
    return static_cast<std::uint32_t>(entry->gr_gid);
}

}  // namespace qs::platform
