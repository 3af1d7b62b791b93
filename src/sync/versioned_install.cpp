#include "sync/versioned_install.hpp"

#include <array>
#include <new>

#include "deploy/extract_archive.hpp"
#include "deploy/flush_tree.hpp"
#include "deploy/hooks.hpp"
#include "deploy/remove_tree.hpp"
#include "formats/memory_reader.hpp"
#include "log/log.hpp"
#include "platform/directory.hpp"
#include "platform/file_create.hpp"
#include "platform/path_calls.hpp"
#include "platform/process_state.hpp"
#include "sync/current_link.hpp"
#include "sync/install_hooks.hpp"
#include "sync/version_store.hpp"

namespace qs {

namespace {

using log::Scope;

// A new version directory that failed its switch or its check goes away,
// unless `current` names it by now (another bundle sharing target_dir).
void discardNewVersion(std::string_view target_dir, std::string_view name,
                       std::string_view directory) {
    if (currentNames(target_dir, name)) return;
    (void)removeTree(directory);
}

}  // namespace

// The sequence, and what a crash at each point leaves (a crash never leaves
// `current` naming an incomplete tree, and the next start removes what the
// staging names left):
//
//  1. extract into S = target_dir/.staging-{version}-{pid} (while the body
//     arrives, for a streamed one): a crash leaves S;
//  2. with durable, flush S's files and directories;
//  3. the version's name V = target_dir/v{version}:
//     a. V missing: rename S to V; a crash after it leaves a complete V that
//        `current` does not name, replaced by the next install of it;
//     b. V present, `current` not naming it (a kept version offered again):
//        nothing yet; V stays as it is until the new tree is live;
//     c. V present and live: nothing yet; the new tree stays at S;
//  4. pre_switch runs in the new tree (V in case a, else S); a refusal
//     removes that tree and leaves `current` and every version as they were;
//  5. switch: in case a `current.tmp` is made and renamed over `current`; in
//     case b S and V are exchanged (or V moved aside to S.old, then S to V)
//     and `current` switched to V, and a switch that fails puts the kept
//     tree back under V; the kept tree is removed only once `current` names
//     the new one; in case c S and V are exchanged in one step, so `current`
//     keeps naming V and V holds the old tree until that instant and the new
//     one from it; the live files are never written. Without an atomic
//     exchange `current` is switched to S itself (a complete tree) and V is
//     moved aside to S.old, to be removed with the old version;
//  6. with durable, flush target_dir: the switch is durable before anything
//     is removed and before the ETag is recorded;
//  7. post_sync, then the old version goes (the tree now at S in case c).
Result<void> applyVersioned(const Bundle& bundle, std::string_view version, std::string_view body,
                            std::string_view etag) {
    VersionedInstall install(bundle, version);
    QS_TRY(install.prepare());
    MemoryReader memory(body);
    QS_TRY(install.extract(memory));
    return install.finish(etag);
}

VersionedInstall::VersionedInstall(const Bundle& bundle, std::string_view version)
    : bundle_(bundle), version_(version) {}

VersionedInstall::~VersionedInstall() {
    if (prepared_ && !finished_) discard();
}

void VersionedInstall::discard() {
    staging_fd_.reset();
    (void)removeTree(staging_dir_);
    finished_ = true;
}

Result<void> VersionedInstall::prepare() {
    const std::string_view target_dir = bundle_.target_dir;
    try {
        link_name_.append("v").append(version_);
        version_dir_ = joinPath(target_dir, link_name_);
        staging_name_ = stagingName(version_, platform::processId());
        staging_dir_ = joinPath(target_dir, staging_name_);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    const auto refuse = [&](Error error) -> Result<void> {
        log::error(Scope::bundle, "failed to create staging dir ", version_dir_, ": ", error);
        return std::unexpected(Error::MakePath);
    };

    // The link name must be one entry of target_dir: deriveVersion encodes
    // "/" and NUL, and a name from anywhere else is held to the same rule.
    if (link_name_.find('/') != std::string::npos || link_name_.find('\0') != std::string::npos) {
        return refuse(Error::BadPathName);
    }
    // A link named like the version would lead the install elsewhere, and
    // a file cannot be replaced by a directory. Checked before the download
    // so that a version that cannot be placed costs nothing.
    if (auto kind = versionDirKind(); !kind) return refuse(kind.error());

    // Where the system cannot exchange two names, a same-name reinstall
    // leaves `current` naming its staging directory: the next install of
    // that version in this process stages beside it.
    if (currentNames(target_dir, staging_name_)) {
        staging_name_ += "-next";
        staging_dir_ += "-next";
    }
    // Otherwise the same name in this process can only be left from a
    // removal that failed before.
    (void)removeTree(staging_dir_);
    auto made = platform::makeDirectory(staging_dir_);
    if (made && *made == platform::DirectoryMade::existed) made = std::unexpected(Error::PathAlreadyExists);
    if (!made) return refuse(made.error());
    prepared_ = true;

    // Extracted into only through the descriptor that checked the new
    // directory, so it cannot be swapped for a link in between.
    auto target = platform::openDirectory(target_dir);
    if (!target) {
        discard();
        return refuse(target.error());
    }
    auto real = platform::openDirectoryNoFollowAt(target->get(), staging_name_);
    if (!real) {
        discard();
        return refuse(real.error());
    }
    staging_fd_ = std::move(*real);
    return {};
}

Result<bool> VersionedInstall::versionDirKind() const {
    const auto existing = platform::pathKind(version_dir_);
    if (!existing) return std::unexpected(existing.error());
    if (*existing == platform::PathKind::symlink) return std::unexpected(Error::SymLinkLoop);
    if (*existing == platform::PathKind::other) return std::unexpected(Error::NotDir);
    return *existing == platform::PathKind::directory;
}

Result<void> VersionedInstall::extract(Reader& archive, ArchiveStream stream) {
    const ExtractResult extracted =
        extractArchiveAt(archive, staging_fd_.get(), staging_dir_, version_dir_,
                         bundle_.extract_owner, bundle_.extract_mode, extractLimits(bundle_, stream));
    staging_fd_.reset();
    if (extracted.error) {
        discard();
        return std::unexpected(*extracted.error);
    }
    count_ = extracted.count;
    log::info(Scope::bundle, "extracted ", extracted.count, " file(s) to ", version_dir_);
    return {};
}

Result<bool> VersionedInstall::recheck() {
    // The download took a while: V is looked at again as it is now.
    const auto kind = versionDirKind();
    if (!kind) {
        log::error(Scope::bundle, "failed to create staging dir ", version_dir_, ": ", kind.error());
        (void)removeTree(staging_dir_);
        return std::unexpected(Error::MakePath);
    }
    if (isDurable(bundle_)) {
        if (auto flushed = flushTree(staging_dir_, preferredFlushMethod()); !flushed) {
            log::error(Scope::bundle, "failed to flush ", version_dir_, ": ", flushed.error());
            (void)removeTree(staging_dir_);
            return std::unexpected(flushed.error());
        }
    }
    return *kind;
}

Result<void> VersionedInstall::place() {
    if (auto placed = platform::renamePath(staging_dir_, version_dir_); !placed) {
        log::error(Scope::bundle, "rename(", staging_dir_, ", ", version_dir_,
                   ") failed: ", placed.error());
        (void)removeTree(staging_dir_);
        return std::unexpected(placed.error());
    }
    return {};
}

Result<void> VersionedInstall::check(std::string_view new_name, const std::string& new_dir,
                                     std::string_view etag) {
    if (!bundle_.pre_switch) return {};
    const HookVariables variables = hookVariables(bundle_, version_, new_name, etag, std::nullopt);
    const HookVerdict verdict = runPreSwitch(
        *bundle_.pre_switch, {variables.environment, variables.version_dir, hookTimeout(bundle_)});
    countPreSwitch(verdict.accepted);
    if (verdict.accepted) return {};
    log::error(Scope::quillstead, "[", bundle_.name, "] pre_switch refused version ", version_,
               ": ", verdict.refusal);
    discardNewVersion(bundle_.target_dir, new_name, new_dir);
    return std::unexpected(Error::PreSwitchRefused);
}

Result<VersionedInstall::Switched> VersionedInstall::switchToNewName() {
    if (auto switched = switchCurrent(bundle_.target_dir, link_name_); !switched) {
        log::error(Scope::bundle, "symlink swap failed: ", switched.error());
        discardNewVersion(bundle_.target_dir, link_name_, version_dir_);
        return std::unexpected(switched.error());
    }
    return Switched{link_name_, {}};
}

// A kept version installed anew: until `current` names the new tree, the
// kept one stays whole under some name and goes back under its own when the
// switch fails, so a failed install leaves every version as it was.
Result<VersionedInstall::Switched> VersionedInstall::switchReplacingKept() {
    const auto renameFailed = [&](Error error) -> Result<Switched> {
        log::error(Scope::bundle, "rename(", staging_dir_, ", ", version_dir_, ") failed: ", error);
        (void)removeTree(staging_dir_);
        return std::unexpected(error);
    };
    auto exchanged = platform::exchangePaths(staging_dir_, version_dir_);
    if (!exchanged) return renameFailed(exchanged.error());
    const bool swapped = *exchanged == platform::Exchange::exchanged;
    // Where the kept tree waits while the new one takes its name.
    std::string kept_aside = staging_dir_;
    if (!swapped) {
        kept_aside += ".old";
        if (auto moved = platform::renamePath(version_dir_, kept_aside); !moved) {
            return renameFailed(moved.error());
        }
        if (auto renamed = platform::renamePath(staging_dir_, version_dir_); !renamed) {
            (void)platform::renamePath(kept_aside, version_dir_);
            return renameFailed(renamed.error());
        }
    }
    if (auto switched = switchCurrent(bundle_.target_dir, link_name_); !switched) {
        log::error(Scope::bundle, "symlink swap failed: ", switched.error());
        if (swapped) {
            (void)platform::exchangePaths(staging_dir_, version_dir_);
        } else if (platform::renamePath(version_dir_, staging_dir_)) {
            (void)platform::renamePath(kept_aside, version_dir_);
        }
        if (!currentNames(bundle_.target_dir, staging_name_)) (void)removeTree(staging_dir_);
        return std::unexpected(switched.error());
    }
    if (auto removed = removeTree(kept_aside); !removed) {
        log::warn(Scope::bundle, "failed to remove old dir ", kept_aside, ": ", removed.error());
    }
    return Switched{link_name_, {}};
}

Result<VersionedInstall::Switched> VersionedInstall::switchSameName() {
    auto exchanged = platform::exchangePaths(staging_dir_, version_dir_);
    if (!exchanged) {
        log::error(Scope::bundle, "rename(", staging_dir_, ", ", version_dir_,
                   ") failed: ", exchanged.error());
        log::error(Scope::bundle, "symlink swap failed: ", exchanged.error());
        (void)removeTree(staging_dir_);
        return std::unexpected(exchanged.error());
    }
    if (*exchanged == platform::Exchange::exchanged) return Switched{link_name_, staging_dir_};
    if (auto switched = switchCurrent(bundle_.target_dir, staging_name_); !switched) {
        log::error(Scope::bundle, "symlink swap failed: ", switched.error());
        (void)removeTree(staging_dir_);
        return std::unexpected(switched.error());
    }
    Switched result{staging_name_, staging_dir_ + ".old"};
    if (!platform::renamePath(version_dir_, result.replaced_live)) result.replaced_live = version_dir_;
    return result;
}

void VersionedInstall::removeOld(const Switched& switched,
                                 std::optional<std::string_view> old_target) {
    if (switched.replaced_live.empty()) {
        keepVersions(bundle_, old_target, switched.live_name);
        return;
    }
    if (auto removed = removeTree(switched.replaced_live); !removed) {
        log::warn(Scope::bundle, "failed to remove old dir ", switched.replaced_live, ": ",
                  removed.error());
    }
    keepVersions(bundle_, std::nullopt, switched.live_name);
}

Result<void> VersionedInstall::finish(std::string_view etag) {
    // From here on every path out has dealt with the staged tree itself.
    finished_ = true;
    QS_TRY_ASSIGN(const bool exists, recheck());

    std::array<char, kMaxSystemPath> old_buffer;
    const std::optional<std::string_view> old_target = readCurrent(bundle_.target_dir, old_buffer);
    const bool live = exists && old_target && *old_target == link_name_;
    if (!exists) QS_TRY(place());
    QS_TRY(exists ? check(staging_name_, staging_dir_, etag) : check(link_name_, version_dir_, etag));

    QS_TRY_ASSIGN(const Switched switched, live     ? switchSameName()
                                           : exists ? switchReplacingKept()
                                                    : switchToNewName());
    log::info(Scope::bundle, "current -> ", switched.live_name);

    bool flushed = true;
    if (isDurable(bundle_)) flushTargetDir(bundle_.target_dir, flushed);

    std::optional<std::string_view> previous;
    if (old_target && isVersionDirName(*old_target)) previous = old_target->substr(1);
    runHook(bundle_, "bundle deployed",
            hookVariables(bundle_, version_, switched.live_name, etag, previous));
    removeOld(switched, old_target);
    // Not durable means the ETag must not be recorded: a power loss could
    // otherwise leave a recorded ETag over a tree that never reached the disk.
    if (!flushed) return std::unexpected(Error::InputOutput);
    return {};
}

}  // namespace qs
