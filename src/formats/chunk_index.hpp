#pragma once
// A casync blob index (.caibx): the list of chunks, in payload order, that
// make up one payload, each named by the digest of its uncompressed bytes.
// The index arrives from the network, so every field is checked before any
// of it is believed, and the table is bounded before memory is set aside.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace qs {

// Which digest names the chunks: the index says so in its feature flags.
enum class ChunkDigest { sha512_256, sha256 };

inline constexpr std::size_t kChunkIdLength = 32;
using ChunkId = std::array<unsigned char, kChunkIdLength>;

// One chunk: its identity and where its bytes end in the payload (the table
// stores end offsets; a chunk starts where the one before it ends).
struct ChunkEntry {
    std::uint64_t end = 0;
    ChunkId id{};
};

struct ChunkIndex {
    ChunkDigest digest = ChunkDigest::sha512_256;
    std::uint64_t feature_flags = 0;
    std::uint64_t chunk_size_min = 0;
    std::uint64_t chunk_size_avg = 0;
    std::uint64_t chunk_size_max = 0;
    std::vector<ChunkEntry> chunks;

    // The length of the assembled payload.
    [[nodiscard]] std::uint64_t payloadSize() const { return chunks.empty() ? 0 : chunks.back().end; }
    [[nodiscard]] std::uint64_t chunkStart(std::size_t i) const { return i == 0 ? 0 : chunks[i - 1].end; }
};

// A chunk is held whole in memory while it is decompressed and checked, so
// an index that allows larger chunks than this is refused. casync's largest
// default chunk is 256 KiB; this leaves room for generous settings.
inline constexpr std::uint64_t kMaxChunkBytes = 16u << 20;

// Each table entry costs 40 bytes in memory. At casync's default 64 KiB
// average a million chunks is a 64 GiB payload, far beyond what a directory
// bundle holds, while the table stays at 40 MiB.
inline constexpr std::size_t kMaxIndexChunks = 1u << 20;

// What is wrong with an index, one name per check.
#define QS_INDEX_FAULT_LIST(X)                                                                     \
    X(TooShort, "shorter than its header")                                                         \
    X(HeaderSize, "header size is not 48")                                                         \
    X(NotAnIndex, "not a casync index")                                                            \
    X(UnknownFeatureFlags, "unknown feature flags")                                                \
    X(ChunkSizeLimits, "chunk size limits out of order")                                           \
    X(ChunkSizeLimitTooLarge, "maximum chunk size too large")                                      \
    X(TableHeader, "table header malformed")                                                       \
    X(TableWithoutTail, "table without tail")                                                      \
    X(TooManyChunks, "too many chunks")                                                            \
    X(OffsetBackwards, "chunk offsets go backwards")                                               \
    X(ChunkTooLarge, "chunk larger than the maximum chunk size")                                   \
    X(ChunkTooSmall, "chunk smaller than the minimum chunk size")                                  \
    X(TailMismatch, "tail does not match the table")                                               \
    X(TrailingBytes, "bytes after the tail")                                                       \
    X(OutOfMemory, "out of memory")

enum class IndexFault : std::uint8_t {
#define QS_INDEX_FAULT_ENUM(name, text) name,
    QS_INDEX_FAULT_LIST(QS_INDEX_FAULT_ENUM)
#undef QS_INDEX_FAULT_ENUM
};

// The words that follow "index: " in a failure line.
[[nodiscard]] std::string_view indexFaultText(IndexFault fault);

// Parses a whole index held in memory. Nothing of a refused index is kept.
[[nodiscard]] std::expected<ChunkIndex, IndexFault> parseChunkIndex(std::string_view bytes);

// Lower-case hexadecimal of a chunk ID, 64 characters: the chunk's name in a store.
[[nodiscard]] std::string chunkIdHex(const ChunkId& id);

}  // namespace qs
