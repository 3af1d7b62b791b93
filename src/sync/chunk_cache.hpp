#pragma once
// The local chunk cache of a chunked bundle: target_dir/.chunks/, one file a
// chunk, named by its ID and holding the chunk as the store serves it
// (compressed). It sits on the target's own file system, so a chunk is
// written once under a temporary name and renamed into place: a name in the
// cache always holds a whole file. What a file holds is still checked
// against its ID each time it is used (see chunk_check), so a damaged cache
// costs a fetch, never a wrong payload.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/chunk_index.hpp"
#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs {

// The cache folder's name inside target_dir.
inline constexpr std::string_view kChunkCacheName = ".chunks";
// The kept indexes' folder inside the cache folder.
inline constexpr std::string_view kIndexFolderName = "indexes";
// The longest index file accepted: the header, the table header, the
// largest table parseChunkIndex takes and its tail.
inline constexpr std::size_t kMaxIndexBytes = 48 + 16 + (kMaxIndexChunks + 1) * 40;

class ChunkCache {
public:
    // Opens target_dir/.chunks, creating it with mode 0700 when missing (a
    // cache holds every byte of the payloads, which may not all be public).
    // Errors: those of makePrivateDirectory and openDirectory.
    [[nodiscard]] static Result<ChunkCache> open(std::string_view target_dir);

    // The stored bytes of chunk `id`, at most `limit` of them. FileNotFound
    // when the cache holds no such chunk; other errors of the open and read.
    [[nodiscard]] Result<std::string> load(const ChunkId& id, std::uint64_t limit) const;
    // The same into `into`, whose allocation is used again.
    [[nodiscard]] Result<void> load(const ChunkId& id, std::uint64_t limit, std::string& into) const;

    // Keeps `stored` as chunk `id`, replacing any file of that name. Errors:
    // those of the create, write and rename; no partial file is left.
    [[nodiscard]] Result<void> save(const ChunkId& id, std::string_view stored);

    // Whether the cache has a file for chunk `id` (whether it holds the
    // chunk only its check tells).
    [[nodiscard]] bool contains(const ChunkId& id) const;

    // Forgets chunk `id` (a file that failed its check). A missing one is no error.
    [[nodiscard]] Result<void> remove(const ChunkId& id);

    // Removes every file but the chunks `keep` names: chunks no kept version
    // uses any more, and temporaries a crash left. Returns how many went.
    [[nodiscard]] Result<std::size_t> prune(std::span<const ChunkIndex* const> keep);

    // The bytes the cache's files hold, for status and metrics.
    [[nodiscard]] Result<std::uint64_t> bytes() const;

    // The indexes of the kept versions live in a folder of the cache
    // (kIndexFolderName), one file each named by `key`, so that a prune
    // knows which chunks are still wanted when the agent starts afresh.
    // Keeps `index` (the index file's bytes) as `key`, replacing one of that
    // key. Errors: those of the folder's creation, the write and the rename.
    [[nodiscard]] Result<void> saveIndex(std::string_view key, std::string_view index);
    // Removes every kept index whose key is not in `keys`, then reads the
    // rest. An index that cannot be read or no longer parses is dropped
    // with its file (its chunks are then merely fetched again if wanted).
    [[nodiscard]] Result<std::vector<ChunkIndex>> keepIndexes(std::span<const std::string> keys);

private:
    explicit ChunkCache(platform::Fd directory) : directory_(std::move(directory)) {}
    // The kept indexes' folder, made when missing.
    [[nodiscard]] Result<platform::Fd> indexFolder() const;
    platform::Fd directory_;
};

// "{64 hex digits}.cacnk": a chunk's name in a store and in the cache.
[[nodiscard]] std::string chunkFileName(const ChunkId& id);

}  // namespace qs
