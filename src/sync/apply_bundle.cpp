#include "sync/apply_bundle.hpp"

#include <array>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "log/log.hpp"
#include "deploy/extract_archive.hpp"
#include "deploy/flush_tree.hpp"
#include "deploy/ownership.hpp"
#include "deploy/post_sync.hpp"
#include "deploy/remove_tree.hpp"
#include "formats/memory_reader.hpp"
#include "platform/fd.hpp"
#include "platform/directory.hpp"
#include "platform/durability.hpp"
#include "platform/file_attributes.hpp"
#include "platform/file_create.hpp"
#include "platform/path_calls.hpp"
#include "platform/record_file.hpp"
#include "platform/process_state.hpp"
#include "sync/version_store.hpp"
#include "util/path.hpp"

namespace qs {

namespace {

using log::Scope;

// A raw file is written under its name with this suffix, then renamed.
constexpr std::string_view kRawTemporarySuffix = ".quillstead-tmp";

bool isDurable(const Bundle& bundle) { return bundle.options.durable.value_or(false); }

std::uint32_t hookTimeout(const Bundle& bundle) { return bundle.options.hook_timeout.value_or(0); }

// target_dir as an absolute path for the hooks, which may run elsewhere; a
// trailing slash is dropped so that joined names read cleanly.
std::string absoluteTargetDir(std::string_view target_dir) {
    std::string path;
    if (!target_dir.starts_with('/')) {
        if (auto cwd = platform::currentDirectory()) path = std::move(*cwd);
        if (!path.ends_with('/')) path += '/';
    }
    path.append(target_dir);
    while (path.size() > 1 && path.ends_with('/')) path.pop_back();
    return path;
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

// The hooks' whole environment: what they need to know of this install and
// nothing of the agent's own environment.
struct HookVariables {
    std::vector<std::string> environment;
    std::string version_dir;  // absolute
};

HookVariables hookVariables(const Bundle& bundle, std::string_view version,
                            std::string_view directory_name, std::string_view etag,
                            std::optional<std::string_view> previous) {
    HookVariables v;
    const std::string target = absoluteTargetDir(bundle.target_dir);
    v.version_dir = directory_name.empty() ? target : joinPath(target, directory_name);
    v.environment.push_back("QUILLSTEAD_BUNDLE=" + bundle.name);
    v.environment.push_back("QUILLSTEAD_VERSION=" + std::string(version));
    v.environment.push_back("QUILLSTEAD_VERSION_DIR=" + v.version_dir);
    v.environment.push_back("QUILLSTEAD_TARGET_DIR=" + target);
    v.environment.push_back("QUILLSTEAD_ETAG=" + std::string(etag));
    if (previous) v.environment.push_back("QUILLSTEAD_PREVIOUS_VERSION=" + std::string(*previous));
    return v;
}

void runHook(const Bundle& bundle, std::string_view what_stays, const HookVariables& variables) {
    if (!bundle.post_sync) return;
    if (auto hook = runPostSync(*bundle.post_sync, {variables.environment, {}, hookTimeout(bundle)}); !hook) {
        log::warn(Scope::bundle, "post_sync hook failed: ", hook.error(), " (", what_stays,
                  ", manual action needed)");
    }
}

// A new version directory that failed its switch or its check goes away,
// unless `current` names it by now (another bundle sharing target_dir).
void discardNewVersion(std::string_view target_dir, std::string_view name,
                       std::string_view directory) {
    if (currentNames(target_dir, name)) return;
    (void)removeTree(directory);
}

void flushTargetDir(std::string_view target_dir, bool& flushed) {
    if (auto synced = platform::flushDirectory(target_dir); !synced) {
        log::error(Scope::bundle, "failed to flush ", target_dir, ": ", synced.error());
        flushed = false;
    }
}

// Moves a complete staged tree to the name of a version that is not live.
// An existing directory of that name is replaced: exchanged in one step
// where the system can, else moved aside first; what it held is removed.
[[nodiscard]] Result<void> placeVersion(const std::string& staging_dir,
                                        const std::string& version_dir, bool exists) {
    if (!exists) return platform::renamePath(staging_dir, version_dir);
    QS_TRY_ASSIGN(const platform::Exchange exchange,
                  platform::exchangePaths(staging_dir, version_dir));
    if (exchange == platform::Exchange::exchanged) {
        (void)removeTree(staging_dir);  // the replaced tree
        return {};
    }
    const std::string aside = staging_dir + ".old";
    QS_TRY(platform::renamePath(version_dir, aside));
    if (auto renamed = platform::renamePath(staging_dir, version_dir); !renamed) {
        (void)platform::renamePath(aside, version_dir);
        return renamed;
    }
    (void)removeTree(aside);
    return {};
}

}  // namespace

Result<platform::DirectoryMade> ensureTargetDir(const Bundle& bundle) {
    auto made = platform::makeDirectory(bundle.target_dir);
    if (!made) {
        log::error(Scope::quillstead, "[", bundle.name, "] failed to create target_dir ",
                   bundle.target_dir, ": ", made.error());
    }
    return made;
}

Result<void> applyBundle(const Bundle& bundle, std::string_view version, std::string_view body,
                         std::string_view etag) {
    if (bundle.format == BundleFormat::raw) return applyRaw(bundle, body, version, etag);
    if (bundle.mode == DeployMode::direct) return applyDirect(bundle, body, version, etag);
    return applyVersioned(bundle, version, body, etag);
}

Result<std::string> rawPath(const Bundle& bundle) {
    try {
        std::string path;
        path.append(bundle.target_dir).append("/").append(bundle.filename.value_or(""));
        return path;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

namespace {

// The checks every raw install makes before it writes: a filename, and one
// that names a file. Logs the failure.
Result<std::string> checkedRawPath(const Bundle& bundle) {
    if (!bundle.filename) {
        log::error(Scope::bundle, "format=raw requires a 'filename' config field");
        return std::unexpected(Error::ConfigError);
    }
    QS_TRY_ASSIGN(std::string path, rawPath(bundle));
    // No file name after the last slash: the name is a directory's.
    if (bundle.filename->empty() || bundle.filename->ends_with('/')) {
        log::error(Scope::bundle, "failed to create ", path, ": ", Error::IsDir);
        return std::unexpected(Error::CreateFileFailed);
    }
    return path;
}

// With durable, the directory that now holds the new name reaches the disk.
Result<void> flushRawName(const Bundle& bundle, std::string_view path) {
    if (!isDurable(bundle)) return {};
    bool flushed = true;
    const std::size_t slash = path.rfind('/');
    flushTargetDir(path.substr(0, slash), flushed);
    if (!flushed) return std::unexpected(Error::WriteFailed);
    return {};
}

}  // namespace

Result<void> applyRaw(const Bundle& bundle, std::string_view body, std::string_view version,
                      std::string_view etag) {
    QS_TRY_ASSIGN(const std::string path, checkedRawPath(bundle));
    std::string temporary;
    try {
        temporary.append(path).append(kRawTemporarySuffix);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
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
    // Durable: the file's data before its name, and the name flushed after.
    if (isDurable(bundle)) {
        if (auto synced = platform::syncFile(file.get()); !synced) {
            log::error(Scope::bundle, "failed to flush ", path, ": ", synced.error());
            platform::removeEntryIgnoringResult(platform::kWorkingDirectory, temporary);
            return std::unexpected(Error::WriteFailed);
        }
    }
    if (auto renamed = platform::renameAt(platform::kWorkingDirectory, temporary, path); !renamed) {
        log::error(Scope::bundle, "failed to create ", path, ": ", renamed.error());
        platform::removeEntryIgnoringResult(platform::kWorkingDirectory, temporary);
        return std::unexpected(Error::CreateFileFailed);
    }
    QS_TRY(flushRawName(bundle, path));
    log::info(Scope::bundle, "wrote ", body.size(), " bytes to ", path, " (raw)");
    // The file stays open while the hook runs; it is closed on return.
    runHook(bundle, "file written", hookVariables(bundle, version, {}, etag, std::nullopt));
    return {};
}

Result<void> applyRawFrom(const Bundle& bundle, Spool& spool, std::string_view version,
                          std::string_view etag) {
    QS_TRY_ASSIGN(const std::string path, checkedRawPath(bundle));
    // The spool was made private (0600); the file it becomes gets what a
    // newly created file would, unless the bundle sets its own mode.
    applyFinalOwnership(spool.fd(), path, bundle.extract_owner, bundle.extract_mode, 0);
    if (isDurable(bundle)) {
        if (auto synced = platform::syncFile(spool.fd()); !synced) {
            log::error(Scope::bundle, "failed to flush ", path, ": ", synced.error());
            return std::unexpected(Error::WriteFailed);
        }
    }
    if (auto moved = spool.moveTo(path); !moved) {
        log::error(Scope::bundle, "failed to create ", path, ": ", moved.error());
        return std::unexpected(Error::CreateFileFailed);
    }
    QS_TRY(flushRawName(bundle, path));
    log::info(Scope::bundle, "wrote ", spool.size(), " bytes to ", path, " (raw)");
    // The file stays open while the hook runs, as it does when written from
    // memory.
    runHook(bundle, "file written", hookVariables(bundle, version, {}, etag, std::nullopt));
    return {};
}

Result<void> applyDirect(const Bundle& bundle, std::string_view body, std::string_view version,
                         std::string_view etag) {
    MemoryReader memory(body);
    return applyDirectFrom(bundle, memory, version, etag);
}

Result<void> applyDirectFrom(const Bundle& bundle, Reader& archive, std::string_view version,
                             std::string_view etag) {
    const ExtractResult extracted =
        extractArchive(archive, bundle.target_dir, bundle.target_dir, bundle.extract_owner,
                       bundle.extract_mode, extractLimits(bundle));
    if (extracted.error) {
        if (isLimitError(*extracted.error)) {
            log::error(Scope::bundle, "files extracted before the limit stay in ",
                       bundle.target_dir, " (direct mode)");
        }
        return std::unexpected(*extracted.error);
    }
    if (isDurable(bundle)) {
        if (auto flushed = flushTree(bundle.target_dir, preferredFlushMethod()); !flushed) {
            log::error(Scope::bundle, "failed to flush ", bundle.target_dir, ": ", flushed.error());
            return std::unexpected(flushed.error());
        }
    }
    log::info(Scope::bundle, "extracted ", extracted.count, " file(s) to ", bundle.target_dir,
              " (direct)");
    runHook(bundle, "files written", hookVariables(bundle, version, {}, etag, std::nullopt));
    return {};
}

// The sequence, and what a crash at each point leaves (a crash never leaves
// `current` naming an incomplete tree, and the next start removes what the
// staging names left):
//
//  1. extract into S = target_dir/.staging-{version}-{pid}: a crash leaves S;
//  2. with durable, flush S's files and directories;
//  3. the version's name V = target_dir/v{version}:
//     a. V missing: rename S to V; a crash after it leaves a complete V that
//        `current` does not name, replaced by the next install of it;
//     b. V present, `current` not naming it: exchange S and V (or move V
//        aside to S.old, then S to V), then remove the old tree now at S;
//     c. V present and live: nothing yet; the new tree stays at S;
//  4. pre_switch runs in the new tree (V, or S in case c); a refusal removes
//     that tree and leaves `current` as it was;
//  5. switch: in cases a and b `current.tmp` is made and renamed over
//     `current`; in case c S and V are exchanged in one step, so `current`
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

Result<void> VersionedInstall::extract(Reader& archive) {
    const ExtractResult extracted =
        extractArchiveAt(archive, staging_fd_.get(), staging_dir_, version_dir_,
                         bundle_.extract_owner, bundle_.extract_mode, extractLimits(bundle_));
    staging_fd_.reset();
    if (extracted.error) {
        discard();
        return std::unexpected(*extracted.error);
    }
    count_ = extracted.count;
    log::info(Scope::bundle, "extracted ", extracted.count, " file(s) to ", version_dir_);
    return {};
}

// The sequence, and what a crash at each point leaves (a crash never leaves
// `current` naming an incomplete tree, and the next start removes what the
// staging names left):
//
//  1. extract into S = target_dir/.staging-{version}-{pid} while the body
//     arrives: a crash leaves S;
//  2. with durable, flush S's files and directories;
//  3. the version's name V = target_dir/v{version}:
//     a. V missing: rename S to V; a crash after it leaves a complete V that
//        `current` does not name, replaced by the next install of it;
//     b. V present, `current` not naming it: exchange S and V (or move V
//        aside to S.old, then S to V), then remove the old tree now at S;
//     c. V present and live: nothing yet; the new tree stays at S;
//  4. pre_switch runs in the new tree (V, or S in case c); a refusal removes
//     that tree and leaves `current` as it was;
//  5. switch: in cases a and b `current.tmp` is made and renamed over
//     `current`; in case c S and V are exchanged in one step, so `current`
//     keeps naming V and V holds the old tree until that instant and the new
//     one from it; the live files are never written. Without an atomic
//     exchange `current` is switched to S itself (a complete tree) and V is
//     moved aside to S.old, to be removed with the old version;
//  6. with durable, flush target_dir: the switch is durable before anything
//     is removed and before the ETag is recorded;
//  7. post_sync, then the old version goes (the tree now at S in case c).
Result<void> VersionedInstall::finish(std::string_view etag) {
    // From here on every path out has dealt with the staged tree itself.
    finished_ = true;
    const Bundle& bundle = bundle_;
    const std::string_view version = version_;
    const std::string_view target_dir = bundle.target_dir;
    const std::string& link_name = link_name_;
    const std::string& version_dir = version_dir_;
    const std::string& staging_name = staging_name_;
    const std::string& staging_dir = staging_dir_;

    // The download took a while: V is looked at again as it is now.
    const auto kind = versionDirKind();
    if (!kind) {
        log::error(Scope::bundle, "failed to create staging dir ", version_dir, ": ", kind.error());
        (void)removeTree(staging_dir);
        return std::unexpected(Error::MakePath);
    }
    const bool exists = *kind;
    const bool durable = isDurable(bundle);
    if (durable) {
        if (auto flushed = flushTree(staging_dir, preferredFlushMethod()); !flushed) {
            log::error(Scope::bundle, "failed to flush ", version_dir, ": ", flushed.error());
            (void)removeTree(staging_dir);
            return std::unexpected(flushed.error());
        }
    }

    std::array<char, kMaxSystemPath> old_buffer;
    const std::optional<std::string_view> old_target = readCurrent(target_dir, old_buffer);
    const bool live = exists && old_target && *old_target == link_name;

    if (!live) {
        if (auto placed = placeVersion(staging_dir, version_dir, exists); !placed) {
            log::error(Scope::bundle, "rename(", staging_dir, ", ", version_dir,
                       ") failed: ", placed.error());
            (void)removeTree(staging_dir);
            return std::unexpected(placed.error());
        }
    }
    const std::string& new_dir = live ? staging_dir : version_dir;
    const std::string_view new_name = live ? std::string_view(staging_name) : link_name;

    std::optional<std::string_view> previous;
    if (old_target && isVersionDirName(*old_target)) previous = old_target->substr(1);

    if (bundle.pre_switch) {
        const HookVariables variables = hookVariables(bundle, version, new_name, etag, std::nullopt);
        const HookVerdict verdict =
            runPreSwitch(*bundle.pre_switch,
                         {variables.environment, variables.version_dir, hookTimeout(bundle)});
        if (!verdict.accepted) {
            log::error(Scope::quillstead, "[", bundle.name, "] pre_switch refused version ", version,
                       ": ", verdict.refusal);
            discardNewVersion(target_dir, new_name, new_dir);
            return std::unexpected(Error::PreSwitchRefused);
        }
    }

    std::string live_name = link_name;
    // What is left of the replaced live tree in case c, removed after the hook.
    std::string replaced_live;
    if (!live) {
        if (auto switched = switchCurrent(target_dir, link_name); !switched) {
            log::error(Scope::bundle, "symlink swap failed: ", switched.error());
            discardNewVersion(target_dir, link_name, version_dir);
            return std::unexpected(switched.error());
        }
    } else {
        auto exchanged = platform::exchangePaths(staging_dir, version_dir);
        if (exchanged && *exchanged == platform::Exchange::exchanged) {
            replaced_live = staging_dir;
        } else if (exchanged) {
            if (auto switched = switchCurrent(target_dir, staging_name); !switched) {
                log::error(Scope::bundle, "symlink swap failed: ", switched.error());
                (void)removeTree(staging_dir);
                return std::unexpected(switched.error());
            }
            live_name = staging_name;
            replaced_live = staging_dir + ".old";
            if (!platform::renamePath(version_dir, replaced_live)) replaced_live = version_dir;
        } else {
            log::error(Scope::bundle, "rename(", staging_dir, ", ", version_dir,
                       ") failed: ", exchanged.error());
            log::error(Scope::bundle, "symlink swap failed: ", exchanged.error());
            (void)removeTree(staging_dir);
            return std::unexpected(exchanged.error());
        }
    }
    log::info(Scope::bundle, "current -> ", live_name);

    bool flushed = true;
    if (durable) flushTargetDir(target_dir, flushed);

    runHook(bundle, "bundle deployed",
            hookVariables(bundle, version, live_name, etag, previous));

    if (!replaced_live.empty()) {
        if (auto removed = removeTree(replaced_live); !removed) {
            log::warn(Scope::bundle, "failed to remove old dir ", replaced_live, ": ",
                      removed.error());
        }
        keepVersions(bundle, std::nullopt, live_name);
    } else {
        keepVersions(bundle, old_target, live_name);
    }
    // Not durable means the ETag must not be recorded: a power loss could
    // otherwise leave a recorded ETag over a tree that never reached the disk.
    if (!flushed) return std::unexpected(Error::InputOutput);
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
