#include "sync/manifest.hpp"

#include <algorithm>
#include <array>
#include <new>

#include "log/log.hpp"
#include "platform/directory.hpp"
#include "platform/fd.hpp"
#include "platform/path_calls.hpp"
#include "platform/record_file.hpp"
#include "sync/install_hooks.hpp"
#include "sync/spool.hpp"
#include "sync/version_store.hpp"

namespace qs {

namespace {

using log::Scope;

// A record names every path of a payload; one far larger than any payload's
// list was not written by the agent and is not read.
constexpr std::size_t kMaxManifestBytes = 64 * 1024 * 1024;

// The agent's own entries at the top of target_dir: a payload may have
// carried one of these names, but whatever is there now is the agent's.
constexpr std::array<std::string_view, 7> kAgentRecords = {
    ".etag", ".digest", ".last-modified", ".versions", ".lock", ".manifest", ".chunks",
};

bool isAgentEntry(std::string_view top) {
    if (top.starts_with(kStagingPrefix) || top.starts_with(kSpoolPrefix)) return true;
    if (top.ends_with(platform::kRecordTemporarySuffix)) {
        top.remove_suffix(platform::kRecordTemporarySuffix.size());
    }
    return std::find(kAgentRecords.begin(), kAgentRecords.end(), top) != kAgentRecords.end();
}

// A relative path below target_dir that an extraction could have written.
bool isPlausiblePath(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos) return false;
    const std::string_view top = path.substr(0, path.find('/'));
    if (isAgentEntry(top)) return false;
    while (true) {
        const std::size_t slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        if (component.empty() || component == "." || component == "..") return false;
        if (slash == std::string_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

std::optional<std::string> decodeLine(std::string_view line) {
    std::string path;
    path.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\') {
            path.push_back(line[i]);
            continue;
        }
        if (++i == line.size()) return std::nullopt;
        if (line[i] == '\\') {
            path.push_back('\\');
        } else if (line[i] == 'n') {
            path.push_back('\n');
        } else {
            return std::nullopt;
        }
    }
    return path;
}

void sortUnique(std::vector<std::string>& paths) {
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
}

std::string manifestPath(const Bundle& bundle) { return joinPath(bundle.target_dir, kManifestName); }

// Removes one path of an earlier payload, never through a link: each
// directory above it is opened as a directory of the one before. False when
// it is still there.
bool removePath(int target, const std::string& shown, std::string_view path) {
    platform::Fd parent;
    std::string_view rest = path;
    for (std::size_t slash = rest.find('/'); slash != std::string_view::npos; slash = rest.find('/')) {
        const int at = parent ? parent.get() : target;
        auto opened = platform::openDirectoryNoFollowAt(at, rest.substr(0, slash));
        // A directory above it gone, or no longer a directory: the path is
        // not there, or not below what the install made.
        if (!opened) return true;
        parent = std::move(*opened);
        rest.remove_prefix(slash + 1);
    }
    const int at = parent ? parent.get() : target;
    const std::string base(rest);
    const auto kind = platform::entryKindAt(at, base);
    if (!kind) {
        log::warn(Scope::bundle, "failed to prune ", shown, ": ", kind.error());
        return false;
    }
    switch (*kind) {
    case platform::EntryKind::missing: return true;
    // An extraction writes no FIFO or device: such a thing is somebody else's.
    case platform::EntryKind::special: return true;
    case platform::EntryKind::directory: {
        const auto removed = platform::unlinkAt(at, base.c_str(), platform::UnlinkTarget::directory);
        if (removed) {
            log::info(Scope::bundle, "pruned ", shown);
            return true;
        }
        if (removed.error() != Error::DirNotEmpty) {
            log::warn(Scope::bundle, "failed to prune ", shown, ": ", removed.error());
        }
        return false;
    }
    case platform::EntryKind::regular:
    case platform::EntryKind::symlink: {
        const auto removed = platform::unlinkAt(at, base.c_str(), platform::UnlinkTarget::nonDirectory);
        if (!removed) {
            log::warn(Scope::bundle, "failed to prune ", shown, ": ", removed.error());
            return false;
        }
        log::info(Scope::bundle, "pruned ", shown);
        return true;
    }
    }
    return true;
}

}  // namespace

bool prunes(const Bundle& bundle) {
    return bundle.format != BundleFormat::raw && bundle.mode == DeployMode::direct &&
           bundle.options.prune.value_or(false);
}

std::string encodeManifest(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths) {
        for (const char c : path) {
            if (c == '\\') {
                text.append("\\\\");
            } else if (c == '\n') {
                text.append("\\n");
            } else {
                text.push_back(c);
            }
        }
        text.push_back('\n');
    }
    return text;
}

std::vector<std::string> decodeManifest(std::string_view text) {
    std::vector<std::string> paths;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        auto path = decodeLine(line);
        if (path && isPlausiblePath(*path)) paths.push_back(std::move(*path));
    }
    sortUnique(paths);
    return paths;
}

std::optional<std::vector<std::string>> loadManifest(const Bundle& bundle) {
    try {
        const std::string path = manifestPath(bundle);
        auto contents = platform::readRecordFile(path, kMaxManifestBytes);
        if (!contents) {
            if (contents.error() == Error::FileNotFound) {
                log::warn(Scope::bundle, "prune: no ", path,
                          " from an earlier install; nothing is removed this time");
            } else if (platform::isForeignEntry(contents.error())) {
                log::warn(Scope::bundle, "ignored ", path, ": not a regular file; nothing is removed this time");
            } else {
                log::warn(Scope::bundle, "failed to read ", path, ": ", contents.error(),
                          "; nothing is removed this time");
            }
            return std::nullopt;
        }
        return decodeManifest(*contents);
    } catch (const std::bad_alloc&) {
        log::warn(Scope::bundle, "prune: ", Error::OutOfMemory, "; nothing is removed this time");
        return std::nullopt;
    }
}

Result<void> saveManifest(const Bundle& bundle, const std::vector<std::string>& paths) {
    try {
        const std::string path = manifestPath(bundle);
        const auto flush = isDurable(bundle) ? platform::RecordFlush::data_and_name
                                             : platform::RecordFlush::none;
        if (auto saved = platform::replaceRecordFile(path, encodeManifest(paths), flush); !saved) {
            log::error(Scope::bundle, "failed to write ", path, ": ", saved.error());
            return saved;
        }
        return {};
    } catch (const std::bad_alloc&) {
        log::error(Scope::bundle, "failed to write ", bundle.target_dir, "/", kManifestName, ": ",
                   Error::OutOfMemory);
        return std::unexpected(Error::OutOfMemory);
    }
}

std::vector<std::string> payloadPaths(std::vector<std::string> names) {
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t slash = names[i].find('/'); slash != std::string::npos;
             slash = names[i].find('/', slash + 1)) {
            names.push_back(names[i].substr(0, slash));
        }
    }
    sortUnique(names);
    return names;
}

std::vector<std::string> mergePaths(const std::vector<std::string>& a,
                                    const std::vector<std::string>& b) {
    std::vector<std::string> merged;
    merged.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(merged));
    return merged;
}

std::vector<std::string> prunePaths(const Bundle& bundle, const std::vector<std::string>& previous,
                                    const std::vector<std::string>& current) {
    std::vector<std::string> gone;
    std::set_difference(previous.begin(), previous.end(), current.begin(), current.end(),
                        std::back_inserter(gone));
    std::vector<std::string> kept;
    if (gone.empty()) return kept;
    auto target = platform::openDirectory(bundle.target_dir);
    if (!target) {
        log::warn(Scope::bundle, "failed to prune ", bundle.target_dir, ": ", target.error());
        return gone;
    }
    // A directory sorts before everything below it, so from the end every
    // path comes before the directories above it, which are then empty if
    // they only held what the payload had.
    for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
        if (!isPlausiblePath(*it)) continue;
        if (!removePath(target->get(), joinPath(bundle.target_dir, *it), *it)) kept.push_back(*it);
    }
    sortUnique(kept);
    return kept;
}

}  // namespace qs
