#include "sync/chunk_check.hpp"

#include "formats/zstd_decoder.hpp"
#include "tls/digest.hpp"

namespace qs {

bool chunkMatches(std::string_view bytes, const ChunkIndex& index, std::size_t i) {
    if (bytes.size() != index.chunks[i].end - index.chunkStart(i)) return false;
    const DigestAlgorithm algorithm = index.digest == ChunkDigest::sha256
                                          ? DigestAlgorithm::sha256
                                          : DigestAlgorithm::sha512_256;
    const auto digest = digestOf(algorithm, bytes);
    return digest && *digest == index.chunks[i].id;
}

Result<void> decodeChunk(std::string_view stored, const ChunkIndex& index, std::size_t i,
                         std::string& out) {
    // Nothing past the index's chunk size limit is ever decoded, whatever
    // the frame claims; within it, a chunk of the wrong length is simply not
    // the chunk named.
    QS_TRY(decompressZstd(stored, static_cast<std::size_t>(index.chunk_size_max), out));
    if (!chunkMatches(out, index, i)) return std::unexpected(Error::ChunkDigestMismatch);
    return {};
}

}  // namespace qs
