#pragma once
// The payload of a chunked bundle as a Reader: the chunks of its index in
// order, each taken from the local cache when the cache holds a good copy
// and fetched from the store otherwise, decoded and checked against its ID
// before a byte of it is delivered. One chunk is in memory at a time, so
// the payload streams into the install whatever its size.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "formats/chunk_index.hpp"
#include "formats/reader.hpp"
#include "sync/chunk_cache.hpp"
#include "util/error.hpp"

namespace qs {

// Where missing chunks come from: the chunk store over HTTP in the agent, a
// folder in tests.
class ChunkSource {
public:
    ChunkSource() = default;
    ChunkSource(const ChunkSource&) = delete;
    ChunkSource& operator=(const ChunkSource&) = delete;
    virtual ~ChunkSource() = default;

    // The stored bytes of chunk `id`, at most `limit` of them (more is
    // StreamTooLong), into `into`: its content replaced, its allocation
    // used again. The source's own failures name the fault; the assembler
    // reports them with the chunk.
    [[nodiscard]] virtual Result<void> fetch(const ChunkId& id, std::uint64_t limit, std::string& into) = 0;

    // The HTTP status of the last answer, for a source that speaks HTTP; 0
    // before any and for other sources.
    [[nodiscard]] virtual unsigned lastStatus() const { return 0; }
};

// The most a stored chunk of `size` decoded bytes may take: zstd never
// grows incompressible input by more than a few bytes per 128 KiB block
// plus its frame header, so this leaves ample room and still refuses a
// store that answers with something far larger than any frame of the chunk.
[[nodiscard]] std::uint64_t storedChunkLimit(std::uint64_t size);

struct AssemblyCounts {
    std::size_t chunks = 0;         // in the index
    std::size_t fetched = 0;        // of them, fetched from the source
    std::uint64_t downloaded = 0;   // stored bytes the fetches brought
};

// How a chunk came to be ready: fetched (with the stored bytes that cost)
// or taken from the cache.
struct LoadedChunk {
    bool fetched = false;
    std::uint64_t stored = 0;
};

// Chunk `i` of `index`, decoded and checked into `out`: the cache's copy
// when it passes the same check as a fetched one (a damaged copy is
// dropped), otherwise fetched from `source`, checked and kept in the cache.
// A chunk that cannot be cached still serves; the next poll merely fetches
// it again. Safe on several threads at once for chunks of different IDs.
[[nodiscard]] Result<LoadedChunk> loadChunk(const ChunkIndex& index, std::size_t i,
                                            ChunkCache& cache, ChunkSource& source,
                                            std::string& out);

// Where the assembler takes its chunks from when they are made ready ahead
// of it (on other threads): chunk `i`, the next in order, into `out`.
class ReadyChunks {
public:
    ReadyChunks() = default;
    ReadyChunks(const ReadyChunks&) = delete;
    ReadyChunks& operator=(const ReadyChunks&) = delete;
    virtual ~ReadyChunks() = default;
    [[nodiscard]] virtual Result<LoadedChunk> take(std::size_t i, std::string& out) = 0;
};

// Why assembly stopped: the chunk and the error (ChunkDigestMismatch,
// NotZstd, Overflow, InvalidFormat from the check; the source's own errors).
struct ChunkFailure {
    ChunkId id{};
    Error error = Error::Unexpected;
};

class ChunkAssembler final : public Reader {
public:
    // `index`, `cache` and `source` must outlive the assembler.
    ChunkAssembler(const ChunkIndex& index, ChunkCache& cache, ChunkSource& source);
    // The chunks made ready by `ready`, which checked each already.
    ChunkAssembler(const ChunkIndex& index, ChunkCache& cache, ReadyChunks& ready);

    // The payload bytes in order; 0 after the last chunk. After a failure
    // every read fails the same way; chunks fetched and checked before it
    // stay in the cache, so a later attempt fetches only the rest.
    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

    [[nodiscard]] const AssemblyCounts& counts() const { return counts_; }
    [[nodiscard]] const std::optional<ChunkFailure>& failure() const { return failure_; }

private:
    [[nodiscard]] Result<void> loadNext();

    const ChunkIndex& index_;
    ChunkCache& cache_;
    ChunkSource* source_ = nullptr;
    ReadyChunks* ready_ = nullptr;
    std::size_t next_ = 0;       // the chunk loadNext takes
    std::string chunk_;          // the decoded chunk being delivered
    std::size_t delivered_ = 0;  // of chunk_
    AssemblyCounts counts_;
    std::optional<ChunkFailure> failure_;
};

}  // namespace qs
