#include "sync/chunk_cache.hpp"

#include <algorithm>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/directory.hpp"
#include "platform/file_create.hpp"
#include "platform/path_calls.hpp"

namespace qs {

namespace {

constexpr std::string_view kChunkSuffix = ".cacnk";
// A chunk being written: the leading dot keeps it from ever looking like a
// chunk, and the ID keeps two writers of different chunks apart.
constexpr std::string_view kTemporaryPrefix = ".new-";

// The cache directory opened afresh, so that a listing starts at its first
// entry whatever listings came before.
Result<platform::Fd> reopen(const platform::Fd& directory) {
    return platform::openDirectoryNoFollowAt(directory.get(), ".");
}

}  // namespace

std::string chunkFileName(const ChunkId& id) { return chunkIdHex(id) + std::string(kChunkSuffix); }

Result<ChunkCache> ChunkCache::open(std::string_view target_dir) {
    const std::string path = std::string(target_dir) + "/" + std::string(kChunkCacheName);
    QS_TRY(platform::makePrivateDirectory(path));
    QS_TRY_ASSIGN(platform::Fd directory, platform::openDirectory(path));
    return ChunkCache(std::move(directory));
}

namespace {

// The read sets aside all it may take before the first byte: bounded by
// the file's own size, a small chunk (or index) costs its size, not the
// bound of the largest one.
Result<void> readBounded(const platform::Fd& file, std::uint64_t limit, std::string& into) {
    QS_TRY_ASSIGN(const platform::FileIdentity identity, platform::fileIdentity(file.get()));
    return platform::readAtMostInto(file.get(), std::min(limit, identity.size), into);
}

}  // namespace

Result<std::string> ChunkCache::load(const ChunkId& id, std::uint64_t limit) const {
    std::string stored;
    QS_TRY(load(id, limit, stored));
    return stored;
}

Result<void> ChunkCache::load(const ChunkId& id, std::uint64_t limit, std::string& into) const {
    QS_TRY_ASSIGN(platform::Fd file,
                  platform::openForReading(directory_.get(), chunkFileName(id),
                                           platform::OpenBlocking::nonblock));
    return readBounded(file, limit, into);
}

Result<void> ChunkCache::save(const ChunkId& id, std::string_view stored) {
    const std::string name = chunkFileName(id);
    const std::string temporary = std::string(kTemporaryPrefix) + name;
    QS_TRY_ASSIGN(platform::Fd file, platform::replaceFileAt(directory_.get(), temporary));
    auto written = platform::writeAll(file.get(), stored);
    if (written) written = platform::renameAt(directory_.get(), temporary, name);
    if (!written) {
        (void)platform::unlinkAt(directory_.get(), temporary.c_str(),
                                 platform::UnlinkTarget::nonDirectory);
        return std::unexpected(written.error());
    }
    return {};
}

bool ChunkCache::contains(const ChunkId& id) const {
    return platform::openForReading(directory_.get(), chunkFileName(id),
                                    platform::OpenBlocking::nonblock)
        .has_value();
}

Result<void> ChunkCache::remove(const ChunkId& id) {
    const std::string name = chunkFileName(id);
    auto removed =
        platform::unlinkAt(directory_.get(), name.c_str(), platform::UnlinkTarget::nonDirectory);
    if (!removed && removed.error() != Error::FileNotFound) return removed;
    return {};
}

Result<std::size_t> ChunkCache::prune(std::span<const ChunkIndex* const> keep) {
    std::unordered_set<std::string> kept;
    std::vector<std::string> doomed;
    QS_TRY_ASSIGN(platform::Fd listing, reopen(directory_));
    try {
        for (const ChunkIndex* index : keep)
            for (const ChunkEntry& chunk : index->chunks) kept.insert(chunkFileName(chunk.id));
        // Names are collected first and removed after the walk, so removing
        // never disturbs the directory being read.
        platform::DirectoryCursor cursor;
        while (true) {
            QS_TRY_ASSIGN(auto entry, cursor.next(listing.get()));
            if (!entry) break;
            std::string name(entry->view());
            if (entry->type == platform::EntryType::directory) continue;
            if (!kept.contains(name)) doomed.push_back(std::move(name));
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    std::size_t removed = 0;
    for (const std::string& name : doomed) {
        auto r = platform::unlinkAt(directory_.get(), name.c_str(),
                                    platform::UnlinkTarget::nonDirectory);
        if (!r && r.error() != Error::FileNotFound) return std::unexpected(r.error());
        if (r) ++removed;
    }
    return removed;
}

Result<std::uint64_t> ChunkCache::bytes() const {
    std::uint64_t total = 0;
    platform::DirectoryCursor cursor;
    QS_TRY_ASSIGN(platform::Fd again, reopen(directory_));
    while (true) {
        QS_TRY_ASSIGN(auto entry, cursor.next(again.get()));
        if (!entry) break;
        if (entry->type == platform::EntryType::directory) continue;
        // Looked at without opening: a cache of thousands of chunks is
        // summed after every install.
        auto usage = platform::entryUsageAt(again.get(), entry->name);
        if (!usage) continue;  // gone since the listing: it holds nothing now
        if (usage->regular) total += usage->size;
    }
    return total;
}

Result<platform::Fd> ChunkCache::indexFolder() const {
    auto made = platform::makeDirectoryAt(directory_.get(), kIndexFolderName);
    if (!made) return std::unexpected(made.error());
    return platform::openDirectoryNoFollowAt(directory_.get(), kIndexFolderName);
}

Result<void> ChunkCache::saveIndex(std::string_view key, std::string_view index) {
    QS_TRY_ASSIGN(const platform::Fd folder, indexFolder());
    const std::string name(key);
    const std::string temporary = std::string(kTemporaryPrefix) + name;
    QS_TRY_ASSIGN(platform::Fd file, platform::replaceFileAt(folder.get(), temporary));
    auto written = platform::writeAll(file.get(), index);
    if (written) written = platform::renameAt(folder.get(), temporary, name);
    if (!written) {
        (void)platform::unlinkAt(folder.get(), temporary.c_str(),
                                 platform::UnlinkTarget::nonDirectory);
        return std::unexpected(written.error());
    }
    return {};
}

Result<std::vector<ChunkIndex>> ChunkCache::keepIndexes(std::span<const std::string> keys) {
    QS_TRY_ASSIGN(const platform::Fd folder, indexFolder());
    QS_TRY_ASSIGN(const platform::Fd listing, reopen(folder));
    std::vector<ChunkIndex> kept;
    std::vector<std::string> doomed;
    try {
        platform::DirectoryCursor cursor;
        while (true) {
            QS_TRY_ASSIGN(auto entry, cursor.next(listing.get()));
            if (!entry) break;
            if (entry->type == platform::EntryType::directory) continue;
            std::string name(entry->view());
            if (std::ranges::find(keys, name) == keys.end()) {
                doomed.push_back(std::move(name));
                continue;
            }
            auto file = platform::openForReading(folder.get(), name, platform::OpenBlocking::nonblock);
            std::string bytes;
            const Result<void> read = file ? readBounded(*file, kMaxIndexBytes, bytes)
                                           : Result<void>(std::unexpected(file.error()));
            auto index = read ? parseChunkIndex(bytes)
                              : std::expected<ChunkIndex, IndexFault>(
                                    std::unexpected(IndexFault::TooShort));
            if (!index) {
                doomed.push_back(std::move(name));
                continue;
            }
            kept.push_back(std::move(*index));
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    for (const std::string& name : doomed) {
        auto r = platform::unlinkAt(folder.get(), name.c_str(), platform::UnlinkTarget::nonDirectory);
        if (!r && r.error() != Error::FileNotFound) return std::unexpected(r.error());
    }
    return kept;
}

}  // namespace qs
