#include "sync/current_link.hpp"

#include <charconv>

#include "log/log.hpp"
#include "platform/path_calls.hpp"
#include "platform/process_state.hpp"

namespace qs {

using log::Scope;

std::string currentTmpName(int pid) {
    std::string name(kCurrentTmpPrefix);
    name.append(std::to_string(pid));
    return name;
}

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

std::optional<LiveVersion> readLiveVersion(std::string_view target_dir) {
    std::array<char, kMaxSystemPath> buffer;
    const auto target = readCurrent(target_dir, buffer);
    if (!target || target->size() < 2 || !target->starts_with('v') ||
        target->find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    LiveVersion live;
    live.version.assign(target->substr(1));
    PathBuffer link_path;
    if (composeSystemPath(link_path, {target_dir, "/", kCurrentName})) {
        if (auto since = platform::modifiedSeconds(link_path.view())) live.since = *since;
    }
    return live;
}

Result<void> switchCurrent(std::string_view target_dir, std::string_view link_name) {
    PathBuffer temporary;
    PathBuffer link_path;
    // Digits of the process ID, without the heap (a switch runs where
    // memory may be short).
    std::array<char, 24> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), platform::processId()).ptr;
    const std::string_view pid(digits.data(), static_cast<std::size_t>(end - digits.data()));
    if (!temporary.append({target_dir, "/", kCurrentTmpPrefix, pid}) ||
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
    // The version directory keeps the time it went live as its own
    // modification time, the link's to the nanosecond, so that `versions`
    // can still tell it once `current` names another version. Nothing
    // beside the versions has to be written for it, so records and
    // listings older agents read stay as they were. A failure costs only
    // that time: the switch itself is done.
    PathBuffer version_dir;
    if (version_dir.append({target_dir, "/", link_name})) {
        (void)platform::copyModifiedTime(link_path.view(), version_dir.view());
    }
    return {};
}

}  // namespace qs
