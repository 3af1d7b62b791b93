#include "sync/version_store.hpp"

#include <algorithm>
#include <new>
#include <set>
#include <utility>

#include "deploy/remove_tree.hpp"
#include "log/log.hpp"
#include "platform/directory.hpp"
#include "platform/fd.hpp"
#include "platform/file_create.hpp"
#include "platform/path_calls.hpp"
#include "platform/process_state.hpp"
#include "platform/record_file.hpp"
#include "deploy/hooks.hpp"
#include "sync/current_link.hpp"
#include "sync/install_hooks.hpp"
#include "platform/file_lock.hpp"
#include "sync/spool.hpp"
#include "sync/target_lock.hpp"

namespace qs {

namespace {

using log::Scope;

// Enough of the version to tell an operator which install a staging
// directory belonged to; with the prefix and a process ID the name stays
// far below the 255 bytes one directory entry may hold.
constexpr std::size_t kStagingVersionBytes = 64;
// A record holds one short line per kept version; anything larger was not
// written by the agent and is not read.
constexpr std::size_t kMaxVersionRecordBytes = 64 * 1024;


// An old link target is removed only when it names an entry of target_dir
// itself: `current` may have been made by hand, and "..", "/etc" or "a/b"
// joined to target_dir would reach elsewhere; the link and its temporary
// twin are not versions either.
bool isRemovableVersionName(std::string_view name) {
    return !name.empty() && name.find('/') == std::string_view::npos && name != "." &&
           name != ".." && name != kCurrentName && !name.starts_with(kCurrentTmpPrefix);
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
    std::string aside;
    try {
        old_path = joinPath(target_dir, old_target);
        aside = joinPath(target_dir, stagingName(old_target, platform::processId()) + ".old");
    } catch (const std::bad_alloc&) {
        return;
    }
    // Moved out of the way in one step first: a removal cut short by a crash
    // then leaves a staging leftover that the next start removes, never a
    // half-removed tree under a version's name that a rollback could pick.
    if (platform::renamePath(old_path, aside)) old_path = std::move(aside);
    if (auto removed = removeTree(old_path); !removed) {
        log::warn(Scope::bundle, "failed to remove old dir ", old_target, ": ", removed.error());
    } else {
        log::info(Scope::bundle, "removed old dir: ", old_target);
    }
}

// Whether target_dir/name is a real directory (not a link to one).
bool isVersionDirectory(std::string_view target_dir, std::string_view name) {
    if (!isVersionDirName(name)) return false;
    try {
        const auto kind = platform::pathKind(joinPath(target_dir, name));
        return kind && *kind == platform::PathKind::directory;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void flushTargetDir(std::string_view directory) {
    if (auto flushed = platform::flushDirectory(directory); !flushed) {
        log::warn(Scope::bundle, "failed to flush ", directory, ": ", flushed.error());
    }
}

}  // namespace

std::string stagingName(std::string_view version, int pid) {
    std::string name(kStagingPrefix);
    name.append(version.substr(0, kStagingVersionBytes)).append("-").append(std::to_string(pid));
    return name;
}

bool isVersionDirName(std::string_view name) {
    return name.size() > 1 && name.front() == 'v' && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::string joinPath(std::string_view directory, std::string_view name) {
    std::string path;
    path.reserve(directory.size() + 1 + name.size());
    path.append(directory).append("/").append(name);
    return path;
}

std::vector<std::string> loadVersionRecord(std::string_view target_dir) {
    std::vector<std::string> names;
    PathBuffer path;
    if (!path.append({target_dir, "/", kVersionRecordName})) return names;
    auto contents = platform::readRecordFile(path.view(), kMaxVersionRecordBytes);
    if (!contents) {
        if (platform::isForeignEntry(contents.error())) {
            log::warn(Scope::bundle, "ignored ", path.view(), ": not a regular file");
        }
        return names;
    }
    std::string_view rest = *contents;
    try {
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            // Byte for byte: a name may end in a blank or a carriage
            // return (the ETag's own), and only the exact name matches its
            // directory. No name holds a line feed: head lines end there.
            const std::string_view line = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            if (!isVersionDirName(line)) continue;
            std::erase(names, line);
            names.emplace_back(line);
        }
    } catch (const std::bad_alloc&) {
        names.clear();
    }
    return names;
}

bool hasVersionRecord(std::string_view target_dir) {
    PathBuffer path;
    if (!path.append({target_dir, "/", kVersionRecordName})) return false;
    const auto kind = platform::pathKind(path.view());
    return kind && *kind != platform::PathKind::missing;
}

Result<void> saveVersionRecord(std::string_view target_dir, const std::vector<std::string>& names,
                               bool durable) {
    PathBuffer record;
    QS_TRY(composeSystemPath(record, {target_dir, "/", kVersionRecordName}));
    std::string text;
    try {
        for (const std::string& name : names) text.append(name).append("\n");
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    return platform::replaceRecordFile(record.view(), text,
                                       durable ? platform::RecordFlush::data_and_name
                                               : platform::RecordFlush::none);
}

void keepVersions(const Bundle& bundle, std::optional<std::string_view> old_target,
                  std::string_view new_name) {
    const std::string_view target_dir = bundle.target_dir;
    const std::uint32_t keep = std::max<std::uint32_t>(bundle.options.keep_versions.value_or(1), 1);
    const bool had_record = hasVersionRecord(target_dir);
    const bool old_recordable = old_target && *old_target != new_name && isVersionDirName(*old_target);
    if (keep == 1 && !had_record) {
        // Only the live version stays: no record is made.
        if (old_target && *old_target != new_name) removeOldVersion(target_dir, *old_target);
        return;
    }
    // A hand-made `current` naming something that is no version directory
    // is removed if it is a plain name, else warned about.
    if (old_target && *old_target != new_name && !old_recordable) {
        removeOldVersion(target_dir, *old_target);
    }

    try {
        std::vector<std::string> names = loadVersionRecord(target_dir);
        if (old_recordable && std::find(names.begin(), names.end(), *old_target) == names.end()) {
            names.emplace_back(*old_target);
        }
        if (isVersionDirName(new_name)) {
            std::erase(names, new_name);
            names.emplace_back(new_name);
        }
        std::array<char, kMaxSystemPath> buffer;
        const std::optional<std::string_view> live = readCurrent(target_dir, buffer);

        // Oldest first: everything but the newest `keep` goes, except the
        // live version (a hook or a rollback may point `current` anywhere).
        std::vector<std::string> kept;
        const std::size_t excess = names.size() > keep ? names.size() - keep : 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string& name = names[i];
            const bool is_live = live && *live == name;
            if (!isVersionDirectory(target_dir, name)) continue;  // gone, or not ours to touch
            if (i < excess && !is_live) {
                removeOldVersion(target_dir, name);
                continue;
            }
            kept.push_back(name);
        }
        const bool durable = bundle.options.durable.value_or(false);
        if (keep == 1) {
            PathBuffer record;
            if (record.append({target_dir, "/", kVersionRecordName})) {
                platform::unlinkIgnoringResult(record.view());
            }
        } else if (auto saved = saveVersionRecord(target_dir, kept, durable); !saved) {
            log::warn(Scope::bundle, "failed to save version record in ", target_dir, ": ",
                      saved.error());
        }
    } catch (const std::bad_alloc&) {
        log::warn(Scope::bundle, "failed to save version record in ", target_dir, ": ",
                  Error::OutOfMemory);
    }
}

namespace {

// The process ID an agent-made name ends in: decimal digits as
// std::to_string writes them (no sign, no leading zero), within an int.
std::optional<int> processIdText(std::string_view digits) {
    if (digits.empty() || digits.size() > 9 || digits.front() == '0') return std::nullopt;
    int pid = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        pid = pid * 10 + (c - '0');
    }
    return pid;
}

// A name made by stagingName, or such a name with ".old" (an old version
// moved aside for removal): the prefix, 1 to kStagingVersionBytes bytes of
// version, "-" and a process ID.
std::optional<int> stagingOwner(std::string_view name) {
    if (!name.starts_with(kStagingPrefix)) return std::nullopt;
    name.remove_prefix(kStagingPrefix.size());
    if (name.ends_with(".old")) name.remove_suffix(4);
    const std::size_t dash = name.rfind('-');
    if (dash == std::string_view::npos || dash == 0 || dash > kStagingVersionBytes) return std::nullopt;
    return processIdText(name.substr(dash + 1));
}

std::optional<int> ownerAfter(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix)) return std::nullopt;
    return processIdText(name.substr(prefix.size()));
}

// Who made `name`, when it is exactly a name the agent makes and removes
// again itself (what stays is a leftover of an agent that died): staging
// directories in a versioned or direct bundle's target_dir, switch links
// in a versioned one's, spools in every mode. In direct and raw mode
// target_dir also holds the payload's own files, and a name that merely
// looks alike is theirs.
std::optional<int> leftoverOwner(std::string_view name, bool versioned, bool direct) {
    if (auto pid = ownerAfter(name, kSpoolPrefix)) return pid;
    if (versioned) {
        if (auto pid = ownerAfter(name, kCurrentTmpPrefix)) return pid;
    }
    if (versioned || direct) return stagingOwner(name);
    return std::nullopt;
}

// A name of another agent that is still running is its work in progress.
// This process has made nothing yet at start-up: a name with its own ID
// is an earlier agent's that had the same one (as after a reboot).
bool ownerGone(int pid) { return pid == platform::processId() || !platform::processAlive(pid); }

// One directory's leftovers: names of agents that are gone, and, while
// this process holds the target's lock (`records`), temporary records,
// which carry no process ID and which every writer replaces under the lock.
void removeLeftoversIn(const Bundle& bundle, std::string_view directory_path, bool versioned,
                       bool direct, bool records) {
    auto directory = platform::openDirectory(directory_path);
    if (!directory) return;
    std::array<char, kMaxSystemPath> buffer;
    const std::optional<std::string_view> live =
        versioned ? readCurrent(directory_path, buffer) : std::nullopt;

    std::vector<std::string> leftovers;
    try {
        platform::DirectoryCursor cursor;
        for (;;) {
            auto entry = cursor.next(directory->get());
            if (!entry || !*entry) break;
            const std::string_view name = (*entry)->view();
            // A staging directory that `current` names is live (an install
            // on a system without an atomic exchange), not a leftover.
            if (live && *live == name) continue;
            const std::optional<int> owner = leftoverOwner(name, versioned, direct);
            const bool temporary = records && versioned &&
                                   (name == kVersionRecordTmpName || name == ".etag.tmp");
            if ((owner && ownerGone(*owner)) || temporary) leftovers.emplace_back(name);
        }
        for (const std::string& name : leftovers) {
            const std::string path = joinPath(directory_path, name);
            // The switch only ever makes a link under its name; a
            // directory of that name is somebody else's.
            if (name.starts_with(kCurrentTmpPrefix)) {
                const auto kind = platform::pathKind(path);
                if (!kind || *kind != platform::PathKind::symlink) continue;
            }
            if (auto removed = removeTree(path); !removed) {
                log::warn(Scope::quillstead, "[", bundle.name, "] failed to remove leftover ", path,
                          ": ", removed.error());
            } else {
                log::info(Scope::quillstead, "[", bundle.name, "] removed leftover ", path);
            }
        }
    } catch (const std::bad_alloc&) {
        return;
    }
}

}  // namespace

void removeLeftovers(const Bundle& bundle) {
    const bool raw = bundle.format == BundleFormat::raw;
    const bool versioned = !raw && bundle.mode == DeployMode::versioned;
    // Without waiting: a running agent holds it, and its names are spared
    // by their process ID all the same.
    const TargetLock lock = TargetLock::take(bundle, platform::LockWait::fail_when_held,
                                             MissingTarget::leave);
    const bool records = lock.state() == TargetLock::State::held;
    removeLeftoversIn(bundle, bundle.target_dir, versioned, !raw && !versioned, records);
    // A raw file's spool sits beside the file, which may be below target_dir.
    if (raw && bundle.filename) {
        try {
            const std::string path = joinPath(bundle.target_dir, *bundle.filename);
            const std::size_t slash = path.rfind('/');
            const std::string_view parent = std::string_view(path).substr(0, slash);
            if (parent != bundle.target_dir) removeLeftoversIn(bundle, parent, false, false, records);
        } catch (const std::bad_alloc&) {
        }
    }
}

std::vector<KeptVersion> listVersions(const Bundle& bundle) {
    std::vector<KeptVersion> versions;
    if (bundle.format == BundleFormat::raw || bundle.mode == DeployMode::direct) return versions;
    const std::string_view target_dir = bundle.target_dir;
    std::array<char, kMaxSystemPath> buffer;
    const std::optional<std::string_view> live = readCurrent(target_dir, buffer);
    const std::vector<std::string> names = loadVersionRecord(target_dir);
    bool live_listed = false;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!isVersionDirectory(target_dir, *it)) continue;
        const bool is_live = live && *live == *it;
        live_listed = live_listed || is_live;
        versions.push_back({it->substr(1), is_live});
    }
    if (!live_listed && live && isVersionDirectory(target_dir, *live)) {
        versions.insert(versions.begin(), {std::string(live->substr(1)), true});
    }
    return versions;
}

namespace {

// Deeper trees than this are not measured: each level keeps an open
// directory and its entry buffer on the stack.
constexpr int kMaxUsageDepth = 256;

using InodeSet = std::set<std::pair<std::uint64_t, std::uint64_t>>;

// Adds what the entries below the open directory `fd` occupy to `total`.
// An entry removed while it is read counts nothing; any other failure
// leaves the total unknown.
Result<void> addTreeUsage(int fd, int depth, std::uint64_t& total, InodeSet& seen) {
    if (depth > kMaxUsageDepth) return std::unexpected(Error::NameTooLong);
    platform::DirectoryCursor cursor;
    while (true) {
        auto entry = cursor.next(fd);
        if (!entry) return std::unexpected(entry.error());
        if (!*entry) return {};
        auto usage = platform::entryUsageAt(fd, (*entry)->name);
        if (!usage) {
            if (usage.error() == Error::FileNotFound) continue;
            return std::unexpected(usage.error());
        }
        if (usage->directory) {
            total += usage->bytes;
            auto child = platform::openDirectoryNoFollowAt(fd, (*entry)->view());
            if (!child) {
                if (child.error() == Error::FileNotFound) continue;
                return std::unexpected(child.error());
            }
            QS_TRY(addTreeUsage(child->get(), depth + 1, total, seen));
            continue;
        }
        // A file with several names occupies its blocks once.
        if (usage->links > 1 && !seen.emplace(usage->device, usage->inode).second) continue;
        total += usage->bytes;
    }
}

std::optional<std::uint64_t> treeUsage(std::string_view directory) {
    auto fd = platform::openDirectory(directory);
    if (!fd) return std::nullopt;
    // The directory itself, by its descriptor: it was opened as a
    // directory, so this is no link's size.
    auto own = platform::entryUsageAt(fd->get(), ".");
    if (!own) return std::nullopt;
    std::uint64_t total = own->bytes;
    try {
        InodeSet seen;
        if (!addTreeUsage(fd->get(), 0, total, seen)) return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    return total;
}

}  // namespace

VersionUsage versionUsage(std::string_view target_dir, const KeptVersion& version) {
    VersionUsage usage;
    std::string directory;
    try {
        const std::string name = "v" + version.name;
        // listVersions named only real directories, but one may have been
        // replaced since: a link is neither timed nor measured.
        if (!isVersionDirectory(target_dir, name)) return usage;
        directory = joinPath(target_dir, name);
    } catch (const std::bad_alloc&) {
        return usage;
    }
    if (version.live) {
        if (auto live = readLiveVersion(target_dir); live && live->version == version.name) {
            usage.went_live = live->since;
        }
    } else if (auto stamped = platform::modifiedSeconds(directory)) {
        usage.went_live = *stamped;
    }
    usage.bytes = treeUsage(directory);
    return usage;
}

std::string_view shownVersion(std::string_view directory_name) {
    return isVersionDirName(directory_name) ? directory_name.substr(1) : directory_name;
}

namespace {

// The kept directory `version` names: "v{version}" first, as the log lines
// and `versions` show names; else the name as given when it is a version
// directory's ("v3" for v3).
std::optional<std::string> keptDirectoryNamed(std::string_view target_dir, std::string_view version) {
    std::string with_prefix = "v" + std::string(version);
    if (isVersionDirectory(target_dir, with_prefix)) return with_prefix;
    if (isVersionDirectory(target_dir, version)) return std::string(version);
    return std::nullopt;
}

// The hooks' variables for a rollback to `to` from `from`.
HookVariables rollbackVariables(const Bundle& bundle, std::string_view to, std::string_view from) {
    std::optional<std::string_view> previous;
    if (isVersionDirName(from)) previous = shownVersion(from);
    HookVariables variables = hookVariables(bundle, shownVersion(to), to, "", previous);
    variables.environment.emplace_back("QUILLSTEAD_ROLLBACK=1");
    return variables;
}

}  // namespace

Result<RollbackResult> rollbackVersion(const Bundle& bundle, std::optional<std::string_view> version,
                                       RollbackHooks hooks) {
    const std::string_view target_dir = bundle.target_dir;
    if (bundle.format == BundleFormat::raw || bundle.mode == DeployMode::direct) {
        log::error(Scope::quillstead, "[", bundle.name, "] nothing to roll back to: not a versioned bundle");
        return std::unexpected(Error::ConfigError);
    }
    std::array<char, kMaxSystemPath> buffer;
    const std::optional<std::string_view> live = readCurrent(target_dir, buffer);
    RollbackResult result;
    if (live) result.from = *live;

    if (version) {
        auto named = keptDirectoryNamed(target_dir, *version);
        if (!named) {
            log::error(Scope::quillstead, "[", bundle.name, "] no version ", *version, " in ",
                       target_dir);
            return std::unexpected(Error::FileNotFound);
        }
        result.to = std::move(*named);
    } else {
        const std::vector<std::string> names = loadVersionRecord(target_dir);
        // Before the live version in switching order; all of them when the
        // record does not know the live one.
        auto end = names.end();
        if (live) {
            if (auto at = std::find(names.begin(), names.end(), *live); at != names.end()) end = at;
        }
        for (auto it = std::make_reverse_iterator(end); it != names.rend(); ++it) {
            if ((!live || *it != *live) && isVersionDirectory(target_dir, *it)) {
                result.to = *it;
                break;
            }
        }
        if (result.to.empty()) {
            log::error(Scope::quillstead, "[", bundle.name, "] nothing to roll back to");
            return std::unexpected(Error::FileNotFound);
        }
    }
    const bool run_hooks = hooks == RollbackHooks::run;
    if (run_hooks && bundle.pre_switch) {
        const HookVariables variables = rollbackVariables(bundle, result.to, result.from);
        const HookVerdict verdict = runPreSwitch(
            *bundle.pre_switch, {variables.environment, variables.version_dir, hookTimeout(bundle)});
        if (!verdict.accepted) {
            log::error(Scope::quillstead, "[", bundle.name, "] pre_switch refused version ",
                       shownVersion(result.to), ": ", verdict.refusal);
            return std::unexpected(Error::PreSwitchRefused);
        }
    }
    if (auto switched = switchCurrent(target_dir, result.to); !switched) {
        log::error(Scope::bundle, "symlink swap failed: ", switched.error());
        return std::unexpected(switched.error());
    }
    if (bundle.options.durable.value_or(false)) flushTargetDir(target_dir);
    if (run_hooks) runHook(bundle, "version rolled back", rollbackVariables(bundle, result.to, result.from));
    return result;
}

}  // namespace qs
