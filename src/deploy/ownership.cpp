#include "deploy/ownership.hpp"

#include <array>
#include <cstring>

#include "log/log.hpp"
#include "platform/file_attributes.hpp"
#include "platform/file_create.hpp"
#include "platform/users.hpp"
#include "util/integer_text.hpp"

namespace qs {

namespace {

// Files written with an owner but no mode of their own become readable by
// that owner only: the owner was named so that the file is theirs, and
// 0666 less the umask could leave it readable by everyone.
constexpr std::uint32_t kOwnedFileMode = 0600;
// Only the permission bits are applied: set-user-ID, set-group-ID and sticky
// bits from an archive or the configuration could turn a payload into a
// privileged program.
constexpr std::uint32_t kPermissionBits = 0777;
// User and group names are copied with their NUL into buffers of this size;
// longer names are treated as unknown (no system allows names this long).
constexpr std::size_t kNameBufferSize = 128;

// A user or group part of the owner text: a decimal ID, or a name looked up
// through `lookup` (which receives the NUL-terminated name).
template <class Lookup>
auto resolvePart(std::string_view part, Lookup lookup) -> decltype(lookup("")) {
    std::array<char, kNameBufferSize> name{};
    if (part.size() >= name.size()) return std::nullopt;
    // An embedded NUL would make the system look up a different, shorter name.
    if (part.find('\0') != std::string_view::npos) return std::nullopt;
    std::memcpy(name.data(), part.data(), part.size());
    name[part.size()] = '\0';
    return lookup(name.data());
}

struct Owner {
    std::uint32_t uid = platform::kUnchangedId;
    std::uint32_t gid = platform::kUnchangedId;
};

// Resolves the owner text; nullopt when a named user or group is unknown.
std::optional<Owner> resolveOwner(std::string_view owner) {
    const std::size_t colon = owner.find(':');
    const bool has_group = colon != std::string_view::npos;
    const std::string_view user = owner.substr(0, colon);
    Owner ids;

    if (!user.empty()) {
        if (auto number = parseUnsigned(user, 10, IntegerWidth::bits32)) {
            ids.uid = static_cast<std::uint32_t>(*number);
        } else {
            const auto found = resolvePart(user, platform::lookupUser);
            if (!found) return std::nullopt;
            ids.uid = found->uid;
            // "www" alone means the user and their primary group; "www:"
            // means the user only.
            if (!has_group) ids.gid = found->gid;
        }
    }

    if (has_group) {
        const std::string_view group = owner.substr(colon + 1);
        if (!group.empty()) {
            if (auto number = parseUnsigned(group, 10, IntegerWidth::bits32)) {
                ids.gid = static_cast<std::uint32_t>(*number);
            } else {
                const auto found = resolvePart(group, platform::lookupGroup);
                if (!found) return std::nullopt;
                ids.gid = *found;
            }
        }
    }
    return ids;
}

// The permission bits applyOwnership sets, 0 for none.
std::uint32_t chosenBits(const std::optional<std::string>& extract_owner,
                         std::optional<std::uint32_t> extract_mode, std::uint32_t entry_mode) {
    std::uint32_t mode = 0;
    if (extract_mode) {
        mode = *extract_mode;
    } else if (entry_mode != 0) {
        mode = entry_mode;
    } else if (extract_owner) {
        mode = kOwnedFileMode;
    }
    // Bits of 0 would make the file unusable by anyone but root; such a mode
    // is taken as "no mode" rather than applied.
    return mode & kPermissionBits;
}

void changeModeOrWarn(int fd, std::string_view display_path, std::uint32_t bits) {
    if (auto changed = platform::changeMode(fd, bits); !changed) {
        log::warn(log::Scope::bundle, "failed to chmod ", display_path, " to ", log::octal(bits),
                  ": ", changed.error());
    }
}

}  // namespace

bool ownerResolves(std::string_view extract_owner) { return resolveOwner(extract_owner).has_value(); }

void applyOwnership(int fd, std::string_view display_path,
                    const std::optional<std::string>& extract_owner,
                    std::optional<std::uint32_t> extract_mode, std::uint32_t entry_mode) {
    // Nothing asked for: the file keeps its creation mode and owner.
    const std::uint32_t bits = chosenBits(extract_owner, extract_mode, entry_mode);
    if (bits != 0) changeModeOrWarn(fd, display_path, bits);

    if (!extract_owner) return;
    const std::string_view owner = *extract_owner;
    const auto ids = resolveOwner(owner);
    if (!ids) {
        log::warn(log::Scope::bundle, "extract_owner '", owner, "' did not resolve (file ",
                  display_path, " left with process owner)");
        return;
    }
    if (auto changed = platform::changeOwner(fd, ids->uid, ids->gid); !changed) {
        log::warn(log::Scope::bundle, "failed to chown ", display_path, " to ", owner, ": ",
                  changed.error());
    }
}

void applyFinalOwnership(int fd, std::string_view display_path,
                         const std::optional<std::string>& extract_owner,
                         std::optional<std::uint32_t> extract_mode, std::uint32_t entry_mode) {
    if (chosenBits(extract_owner, extract_mode, entry_mode) == 0)
        changeModeOrWarn(fd, display_path, platform::plainFileMode());
    applyOwnership(fd, display_path, extract_owner, extract_mode, entry_mode);
}

}  // namespace qs
