#include "formats/chunk_index.hpp"

#include <cstring>
#include <new>

namespace qs {

namespace {

// The record types and the tail marker as casync writes them.
constexpr std::uint64_t kIndexType = 0x96824d9c7b129ff9ull;
constexpr std::uint64_t kTableType = 0xe75b9e112f17417dull;
constexpr std::uint64_t kTailMarker = 0x4b4f050e5549ecd1ull;
// The table is written before its length is known, so its header carries
// all ones; the tail states the real length.
constexpr std::uint64_t kTableOpenSize = ~std::uint64_t{0};

constexpr std::size_t kHeaderSize = 48;
constexpr std::size_t kTableHeaderSize = 16;
constexpr std::size_t kEntrySize = 8 + kChunkIdLength;
constexpr std::size_t kTailSize = 40;

// The flag that switches the chunk digest from SHA-256 to SHA-512/256.
constexpr std::uint64_t kFlagSha512_256 = 0x2000000000000000ull;
// Every flag casync defines: the file-metadata flags of its archive format
// (they mean nothing for a blob, but casync records them) and the four high
// ones (exclude-file, SHA-512/256, exclude-submounts, exclude-nodump). A
// flag outside these may change what the index means, so it is refused.
constexpr std::uint64_t kKnownFlags = 0x00000001ffffffffull | 0xf000000000000000ull;

std::uint64_t le64(std::string_view bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i)
        value |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    return value;
}

}  // namespace

std::string_view indexFaultText(IndexFault fault) {
    switch (fault) {
#define QS_INDEX_FAULT_TEXT(name, text)                                                            \
    case IndexFault::name:                                                                         \
        return text;
        QS_INDEX_FAULT_LIST(QS_INDEX_FAULT_TEXT)
#undef QS_INDEX_FAULT_TEXT
    }
    return "unknown";
}

std::expected<ChunkIndex, IndexFault> parseChunkIndex(std::string_view bytes) {
    if (bytes.size() < kHeaderSize) return std::unexpected(IndexFault::TooShort);
    if (le64(bytes, 8) != kIndexType) return std::unexpected(IndexFault::NotAnIndex);
    if (le64(bytes, 0) != kHeaderSize) return std::unexpected(IndexFault::HeaderSize);

    ChunkIndex index;
    index.feature_flags = le64(bytes, 16);
    index.chunk_size_min = le64(bytes, 24);
    index.chunk_size_avg = le64(bytes, 32);
    index.chunk_size_max = le64(bytes, 40);
    if ((index.feature_flags & ~kKnownFlags) != 0)
        return std::unexpected(IndexFault::UnknownFeatureFlags);
    index.digest = (index.feature_flags & kFlagSha512_256) != 0 ? ChunkDigest::sha512_256
                                                                 : ChunkDigest::sha256;
    if (index.chunk_size_min == 0 || index.chunk_size_min > index.chunk_size_avg ||
        index.chunk_size_avg > index.chunk_size_max)
        return std::unexpected(IndexFault::ChunkSizeLimits);
    if (index.chunk_size_max > kMaxChunkBytes)
        return std::unexpected(IndexFault::ChunkSizeLimitTooLarge);

    std::string_view rest = bytes.substr(kHeaderSize);
    if (rest.size() < kTableHeaderSize) return std::unexpected(IndexFault::TableWithoutTail);
    if (le64(rest, 0) != kTableOpenSize || le64(rest, 8) != kTableType)
        return std::unexpected(IndexFault::TableHeader);
    rest.remove_prefix(kTableHeaderSize);

    // The tail starts with a zero where an entry would hold its end offset;
    // no real entry ends at zero, since every chunk holds at least one byte.
    // Entries are counted before any is stored, so a huge table costs no
    // memory before it is refused.
    std::size_t count = 0;
    while (true) {
        const std::size_t at = count * kEntrySize;
        if (rest.size() - at < 8) return std::unexpected(IndexFault::TableWithoutTail);
        if (le64(rest, at) == 0) break;
        if (rest.size() - at < kEntrySize) return std::unexpected(IndexFault::TableWithoutTail);
        if (++count > kMaxIndexChunks) return std::unexpected(IndexFault::TooManyChunks);
    }

    const std::size_t tail_at = count * kEntrySize;
    if (rest.size() - tail_at < kTailSize) return std::unexpected(IndexFault::TableWithoutTail);
    const std::uint64_t table_size = kTableHeaderSize + tail_at + kTailSize;
    if (le64(rest, tail_at + 8) != 0 || le64(rest, tail_at + 16) != kHeaderSize ||
        le64(rest, tail_at + 24) != table_size || le64(rest, tail_at + 32) != kTailMarker)
        return std::unexpected(IndexFault::TailMismatch);
    if (rest.size() != tail_at + kTailSize) return std::unexpected(IndexFault::TrailingBytes);

    try {
        index.chunks.reserve(count);
    } catch (const std::bad_alloc&) {
        return std::unexpected(IndexFault::OutOfMemory);
    }
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < count; ++i) {
        ChunkEntry entry;
        entry.end = le64(rest, i * kEntrySize);
        std::memcpy(entry.id.data(), rest.data() + i * kEntrySize + 8, kChunkIdLength);
        if (entry.end <= start) return std::unexpected(IndexFault::OffsetBackwards);
        const std::uint64_t size = entry.end - start;
        if (size > index.chunk_size_max) return std::unexpected(IndexFault::ChunkTooLarge);
        // The chunker cuts no chunk shorter than the minimum; only the last
        // one, where the payload ends, may be.
        if (size < index.chunk_size_min && i + 1 != count)
            return std::unexpected(IndexFault::ChunkTooSmall);
        index.chunks.push_back(entry);
        start = entry.end;
    }
    return index;
}

std::string chunkIdHex(const ChunkId& id) {
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string text;
    text.reserve(id.size() * 2);
    for (const unsigned char byte : id) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0f];
    }
    return text;
}

}  // namespace qs
