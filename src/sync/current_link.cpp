#include "sync/current_link.hpp"

#include "log/log.hpp"
#include "platform/path_calls.hpp"

namespace qs {

using log::Scope;

std::optional<std::string_view> readCurrent(std::string_view target_dir,
                                            std::array<char, kMaxSystemPath>& buffer) {
    PathBuffer link_path;
    if (!composeSystemPath(link_path, {target_dir, "/", kCurrentName})) return std::nullopt;
    auto length = platform::readLink(link_path.view(), buffer);
    if (!length) return std::nullopt;
    return std::string_view(buffer.data(), *length);
}

bool currentNames(std::string_view target_dir, std::string_view name) {
    std::array<char, kMaxSystemPath> buffer;
    const auto target = readCurrent(target_dir, buffer);
    return target && *target == name;
}

Result<void> switchCurrent(std::string_view target_dir, std::string_view link_name) {
    PathBuffer temporary;
    PathBuffer link_path;
    if (!temporary.append({target_dir, "/", kCurrentTmpName}) ||
        !link_path.append({target_dir, "/", kCurrentName})) {
        return std::unexpected(Error::NoSpaceLeft);
    }

    // A leftover of an interrupted switch would make symlink fail.
    platform::unlinkIgnoringResult(temporary.view());

    if (auto linked = platform::createSymlink(link_name, temporary.view()); !linked) {
        log::error(Scope::bundle, "symlink(", link_name, ", ", temporary.view(),
                   ") failed: ", linked.error());
        return std::unexpected(linked.error());
    }
    if (auto renamed = platform::renamePath(temporary.view(), link_path.view()); !renamed) {
        log::error(Scope::bundle, "rename(", temporary.view(), ", ", link_path.view(),
                   ") failed: ", renamed.error());
        platform::unlinkIgnoringResult(temporary.view());
        return std::unexpected(renamed.error());
    }
    return {};
}

}  // namespace qs
