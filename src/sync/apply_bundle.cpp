#include "sync/apply_bundle.hpp"

#include <array>
#include <new>
#include <optional>
#include <string>

#include "log/log.hpp"
#include "deploy/extract_archive.hpp"
#include "deploy/ownership.hpp"
#include "deploy/post_sync.hpp"
#include "deploy/remove_tree.hpp"
#include "platform/fd.hpp"
#include "platform/directory.hpp"
#include "platform/file_create.hpp"
#include "platform/link_switch.hpp"
#include "util/path.hpp"

namespace qs {

namespace {

using log::Scope;

constexpr std::string_view kCurrentName = "current";
constexpr std::string_view kCurrentTmpName = "current.tmp";
// A raw file is written under its name with this suffix, then renamed.
constexpr std::string_view kRawTemporarySuffix = ".quillstead-tmp";

// The target of target_dir/current, read into `buffer` (one system path's
// worth); nothing when there is no link or it cannot be read.
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

// An old link target is removed only when it names an entry of target_dir
// itself: `current` may have been made by hand, and "..", "/etc" or "a/b"
// joined to target_dir would reach elsewhere; the link and its temporary
// twin are not versions either.
bool isRemovableVersionName(std::string_view name) {
    return !name.empty() && name.find('/') == std::string_view::npos && name != "." &&
           name != ".." && name != kCurrentName && name != kCurrentTmpName;
}

ExtractLimits extractLimits(const Bundle& bundle) {
    ExtractLimits limits;
    limits.max_unpacked_bytes = bundle.options.max_unpacked_bytes;
    limits.max_entries = bundle.options.max_entries;
    return limits;
}

bool isLimitError(Error error) {
    return error == Error::ArchiveTooLarge || error == Error::ArchiveTooManyEntries;
}

void runHook(const Bundle& bundle, std::string_view what_stays) {
    if (!bundle.post_sync) return;
    if (auto hook = runPostSync(*bundle.post_sync, bundle.options.hook_timeout.value_or(0)); !hook) {
        log::warn(Scope::bundle, "post_sync hook failed: ", hook.error(), " (", what_stays,
                  ", manual action needed)");
    }
}

// After a failed extraction or switch the new version directory goes away,
// unless it was there before this cycle (another install's, possibly live)
// or `current` names it (a same-name reinstall over the live version).
void discardVersionDir(std::string_view target_dir, std::string_view link_name,
                       std::string_view version_dir, platform::DirectoryMade made) {
    if (made == platform::DirectoryMade::existed) return;
    if (currentNames(target_dir, link_name)) return;
    (void)removeTree(version_dir);
}

void removeOldVersion(std::string_view target_dir, std::string_view old_target) {
    if (!isRemovableVersionName(old_target)) {
        log::warn(Scope::bundle, "not removing old dir ", old_target,
                  ": not a directory name in target_dir");
        return;
    }
    // The hook may have pointed `current` back, and another bundle sharing
    // target_dir may own that name now: what `current` names stays.
    if (currentNames(target_dir, old_target)) {
        log::warn(Scope::bundle, "not removing old dir ", old_target, ": current links to it");
        return;
    }
    std::string old_path;
    try {
        old_path.append(target_dir).append("/").append(old_target);
    } catch (const std::bad_alloc&) {
        return;
    }
    if (auto removed = removeTree(old_path); !removed) {
        log::warn(Scope::bundle, "failed to remove old dir ", old_target, ": ", removed.error());
    } else {
        log::info(Scope::bundle, "removed old dir: ", old_target);
    }
}

}  // namespace

Result<void> ensureTargetDir(const Bundle& bundle) {
    if (auto made = platform::makeDirectory(bundle.target_dir); !made) {
        log::error(Scope::quillstead, "[", bundle.name, "] failed to create target_dir ",
                   bundle.target_dir, ": ", made.error());
        return std::unexpected(made.error());
    }
    return {};
}

Result<void> applyBundle(const Bundle& bundle, std::string_view version, std::string_view body) {
    if (bundle.format == BundleFormat::raw) return applyRaw(bundle, body);
    if (bundle.mode == DeployMode::direct) return applyDirect(bundle, body);
    return applyVersioned(bundle, version, body);
}

Result<void> applyRaw(const Bundle& bundle, std::string_view body) {
    if (!bundle.filename) {
        log::error(Scope::bundle, "format=raw requires a 'filename' config field");
        return std::unexpected(Error::ConfigError);
    }
    std::string path;
    std::string temporary;
    try {
        path.append(bundle.target_dir).append("/").append(*bundle.filename);
        temporary.append(path).append(kRawTemporarySuffix);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    // No file name after the last slash: the name is a directory's.
    if (bundle.filename->empty() || bundle.filename->ends_with('/')) {
        log::error(Scope::bundle, "failed to create ", path, ": ", Error::IsDir);
        return std::unexpected(Error::CreateFileFailed);
    }
    // The file is written under a name of its own and renamed over the old
    // one: a reader sees the old file or the new one, never a part, and a
    // link or FIFO planted under either name is replaced, not written
    // through.
    auto created = platform::replaceFileAt(platform::kWorkingDirectory, temporary);
    if (!created) {
        log::error(Scope::bundle, "failed to create ", path, ": ", created.error());
        return std::unexpected(Error::CreateFileFailed);
    }
    const platform::Fd file = std::move(*created);
    if (auto written = platform::writeAll(file.get(), body); !written) {
        log::error(Scope::bundle, "failed to write ", path, ": ", written.error());
        platform::removeEntryIgnoringResult(platform::kWorkingDirectory, temporary);
        return std::unexpected(Error::WriteFailed);
    }
    applyFinalOwnership(file.get(), path, bundle.extract_owner, bundle.extract_mode, 0);
    if (auto renamed = platform::renameAt(platform::kWorkingDirectory, temporary, path); !renamed) {
        log::error(Scope::bundle, "failed to create ", path, ": ", renamed.error());
        platform::removeEntryIgnoringResult(platform::kWorkingDirectory, temporary);
        return std::unexpected(Error::CreateFileFailed);
    }
    log::info(Scope::bundle, "wrote ", body.size(), " bytes to ", path, " (raw)");
    // The file stays open while the hook runs; it is closed on return.
    runHook(bundle, "file written");
    return {};
}

Result<void> applyDirect(const Bundle& bundle, std::string_view body) {
    const ExtractResult extracted = extractArchive(body, bundle.target_dir, bundle.extract_owner,
                                                   bundle.extract_mode, extractLimits(bundle));
    if (extracted.error) {
        if (isLimitError(*extracted.error)) {
            log::error(Scope::bundle, "files extracted before the limit stay in ",
                       bundle.target_dir, " (direct mode)");
        }
        return std::unexpected(*extracted.error);
    }
    log::info(Scope::bundle, "extracted ", extracted.count, " file(s) to ", bundle.target_dir,
              " (direct)");
    runHook(bundle, "files written");
    return {};
}

Result<void> applyVersioned(const Bundle& bundle, std::string_view version,
                            std::string_view body) {
    const std::string_view target_dir = bundle.target_dir;
    std::string link_name;
    std::string version_dir;
    try {
        link_name.append("v").append(version);
        version_dir.append(target_dir).append("/").append(link_name);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }

    // The link name must be one entry of target_dir: deriveVersion encodes
    // "/" and NUL, and a name from anywhere else is held to the same rule.
    // Made or found, the entry is extracted into only when it is a real
    // directory (a link named like a version would lead the extraction
    // elsewhere), and only through the descriptor that checked it, so it
    // cannot be swapped for a link in between.
    Result<platform::DirectoryMade> made = std::unexpected(Error::BadPathName);
    platform::Fd version_fd;
    if (link_name.find('/') == std::string::npos && link_name.find('\0') == std::string::npos) {
        made = platform::makeDirectory(version_dir);
    }
    if (made) {
        auto target = platform::openDirectory(target_dir);
        if (!target) {
            made = std::unexpected(target.error());
        } else if (auto real = platform::openDirectoryNoFollowAt(target->get(), link_name); !real) {
            made = std::unexpected(real.error());
        } else {
            version_fd = std::move(*real);
        }
    }
    if (!made) {
        log::error(Scope::bundle, "failed to create staging dir ", version_dir, ": ", made.error());
        return std::unexpected(Error::MakePath);
    }

    const ExtractResult extracted = extractArchiveAt(body, version_fd.get(), version_dir,
                                                     bundle.extract_owner, bundle.extract_mode,
                                                     extractLimits(bundle));
    version_fd.reset();
    if (extracted.error) {
        discardVersionDir(target_dir, link_name, version_dir, *made);
        return std::unexpected(*extracted.error);
    }
    log::info(Scope::bundle, "extracted ", extracted.count, " file(s) to ", version_dir);

    std::array<char, kMaxSystemPath> old_buffer;
    const std::optional<std::string_view> old_target = readCurrent(target_dir, old_buffer);

    if (auto switched = switchCurrent(target_dir, link_name); !switched) {
        log::error(Scope::bundle, "symlink swap failed: ", switched.error());
        discardVersionDir(target_dir, link_name, version_dir, *made);
        return std::unexpected(switched.error());
    }
    log::info(Scope::bundle, "current -> ", link_name);

    runHook(bundle, "bundle deployed");

    if (old_target && *old_target != link_name) removeOldVersion(target_dir, *old_target);
    return {};
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
