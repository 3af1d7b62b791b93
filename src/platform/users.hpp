#pragma once
// Look-ups in the user and group databases. Nothing is cached: every call
// asks the system again, so a database edited while the daemon runs is seen
// by the next call.

#include <cstdint>
#include <optional>

namespace qs::platform {

struct UserIds {
    std::uint32_t uid;
    std::uint32_t gid;  // the user's primary group
};

// getpwnam(3) of the NUL-terminated `name`; nullopt when there is no such
// user or the database cannot be read.
[[nodiscard]] std::optional<UserIds> lookupUser(const char* name);

// getgrnam(3) of the NUL-terminated `name`; nullopt as above.
[[nodiscard]] std::optional<std::uint32_t> lookupGroup(const char* name);

}  // namespace qs::platform
