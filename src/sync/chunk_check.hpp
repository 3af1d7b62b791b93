#pragma once
// Turns a stored chunk (the bytes of a .cacnk file, from the store or the
// local cache) into the chunk its index entry names, or refuses it: the
// decoded bytes must be exactly as long as the index says and their digest
// must equal the chunk's ID. Only checked bytes ever reach a payload.

#include <cstddef>
#include <string>
#include <string_view>

#include "formats/chunk_index.hpp"
#include "util/error.hpp"

namespace qs {

// Decodes chunk `i` of `index` from `stored` into `out` (reused between
// calls). NotZstd for bytes that are no zstd frame (casync can also store
// xz or gzip chunks; those stores are refused); Overflow when the chunk
// decodes to more than the index's maximum chunk size, which is how a
// decompression bomb ends; InvalidFormat for a corrupt frame;
// ChunkDigestMismatch when the bytes are not the chunk named (one of
// another length included).
[[nodiscard]] Result<void> decodeChunk(std::string_view stored, const ChunkIndex& index,
                                       std::size_t i, std::string& out);

// True when `bytes` are chunk `i`: its length and its digest.
[[nodiscard]] bool chunkMatches(std::string_view bytes, const ChunkIndex& index, std::size_t i);

}  // namespace qs
