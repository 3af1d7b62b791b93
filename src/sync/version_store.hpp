#pragma once
// The versions of a versioned bundle below its target_dir: the staging
// directories an install extracts into, the record of the order in which
// `current` was switched to the versions kept (".versions"), and what the
// commands `versions` and `rollback` read and change.
//
// Only names that are plain entries of target_dir are ever switched to or
// removed: the record is a file anybody may edit, so every line is checked
// again when it is read.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "sync/current_link.hpp"
#include "util/error.hpp"
#include "util/path.hpp"

namespace qs {

inline constexpr std::string_view kVersionRecordName = ".versions";
inline constexpr std::string_view kVersionRecordTmpName = ".versions.tmp";
inline constexpr std::string_view kStagingPrefix = ".staging-";

// The directory an install of `version` extracts into before it is renamed
// to "v{version}": ".staging-{version}-{pid}". It starts with a dot where
// every version directory starts with "v", so it can never be taken for
// one; the version is cut short so that the name stays one directory entry
// however long the version is.
[[nodiscard]] std::string stagingName(std::string_view version, int pid);

// A name the record may hold and that may be switched to or removed: "v"
// followed by anything but "/" (so also never "." or "..").
[[nodiscard]] bool isVersionDirName(std::string_view name);

// "{directory}/{name}"; throws std::bad_alloc like any string.
[[nodiscard]] std::string joinPath(std::string_view directory, std::string_view name);

// The record's names, byte for byte (one a line, nothing trimmed), oldest
// switch first; lines that are not version directory names are dropped, and
// a name that repeats counts where it last stands. Empty when there is no
// record or it cannot be read.
[[nodiscard]] std::vector<std::string> loadVersionRecord(std::string_view target_dir);

// Whether target_dir holds a record at all.
[[nodiscard]] bool hasVersionRecord(std::string_view target_dir);

// Rewrites the record through ".versions.tmp" and a rename, so a crash
// leaves the old record or the new one; with `durable` the temporary file is
// flushed before the rename and target_dir after it.
[[nodiscard]] Result<void> saveVersionRecord(std::string_view target_dir,
                                             const std::vector<std::string>& names, bool durable);

// After `current` was switched from `old_target` to `new_name`: with
// keep_versions above 1, records the switch and removes the versions beyond
// the newest keep_versions (oldest first); with keep_versions 1, removes the
// previous version (and the versions of a record left by an
// earlier, larger keep_versions, and that record). What `current` names is
// never removed, and only real directories named like versions are.
void keepVersions(const Bundle& bundle, std::optional<std::string_view> old_target,
                  std::string_view new_name);

// Removes what an install killed midway leaves, one info line each: spools
// of the payload being downloaded (every mode; for raw also beside the
// file), staging directories in a direct bundle's target_dir and in a
// versioned one's those that `current` does not name, `current.tmp-{pid}`
// links and, while no other
// agent holds the target's lock, temporary records. Only names exactly in
// the forms the agent makes count, and only when the process whose ID they
// carry is gone: another agent's work in progress and a payload's own files
// stay.
void removeLeftovers(const Bundle& bundle);

// One kept version for the `versions` command.
struct KeptVersion {
    std::string name;  // the version, without the "v" of its directory
    bool live = false;
};

// The kept versions, newest switch first; the one `current` names is marked
// (and listed first when the record does not know it).
[[nodiscard]] std::vector<KeptVersion> listVersions(const Bundle& bundle);

// When a kept version went live and what its tree occupies, as `versions`
// shows them.
struct VersionUsage {
    // Unix seconds; 0 when unknown. The live version's is the time of the
    // `current` link (as status shows it), another's the time the switch
    // to it stamped on its directory.
    std::int64_t went_live = 0;
    // The bytes its directory's tree occupies on disk (allocated blocks,
    // links not followed, a file with several names counted once); nothing
    // when part of the tree could not be read.
    std::optional<std::uint64_t> bytes;
};

[[nodiscard]] VersionUsage versionUsage(std::string_view target_dir, const KeptVersion& version);

// What a rollback did.
struct RollbackResult {
    std::string from;  // directory names
    std::string to;
};

// Whether a rollback runs the bundle's pre_switch and post_sync.
enum class RollbackHooks { run, skip };

// Switches `current` to the kept version `version` (its name as `versions`
// lists it, or its directory name with the "v"), or without a version to
// the newest kept version switched to before the live one. With hooks,
// pre_switch first checks that version where it lies (a refusal keeps
// `current` as it was: PreSwitchRefused) and post_sync runs after the
// switch, both with QUILLSTEAD_ROLLBACK=1 besides the variables of an
// install (QUILLSTEAD_ETAG empty: the record names the newest install).
// Logs its failure: not a versioned bundle, unknown version, nothing to
// roll back to, a refusal, a failed switch. The record and .etag are not
// changed, so rolling back again goes one further back.
[[nodiscard]] Result<RollbackResult> rollbackVersion(const Bundle& bundle,
                                                     std::optional<std::string_view> version,
                                                     RollbackHooks hooks = RollbackHooks::run);

// A directory name as `versions` and `rollback` show it: without the "v"
// of a version directory.
[[nodiscard]] std::string_view shownVersion(std::string_view directory_name);

}  // namespace qs
