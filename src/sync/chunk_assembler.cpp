#include "sync/chunk_assembler.hpp"

#include <algorithm>
#include <cstring>

#include "sync/chunk_check.hpp"

namespace qs {

std::uint64_t storedChunkLimit(std::uint64_t size) { return size + size / 64 + 4096; }

Result<LoadedChunk> loadChunk(const ChunkIndex& index, std::size_t i, ChunkCache& cache,
                              ChunkSource& source, std::string& out) {
    const ChunkEntry& entry = index.chunks[i];
    const std::uint64_t limit = storedChunkLimit(entry.end - index.chunkStart(i));

    // A cached copy is used only when it passes the same check as a fetched
    // one; a damaged one is dropped and fetched again. Each thread reads
    // its cached chunks into one buffer, kept from chunk to chunk.
    thread_local std::string cached;
    if (cache.load(entry.id, limit, cached)) {
        if (decodeChunk(cached, index, i, out)) return LoadedChunk{};
        (void)cache.remove(entry.id);
    }

    thread_local std::string fetched;
    QS_TRY(source.fetch(entry.id, limit, fetched));
    QS_TRY(decodeChunk(fetched, index, i, out));
    (void)cache.save(entry.id, fetched);
    return LoadedChunk{true, fetched.size()};
}

ChunkAssembler::ChunkAssembler(const ChunkIndex& index, ChunkCache& cache, ChunkSource& source)
    : index_(index), cache_(cache), source_(&source) {
    counts_.chunks = index.chunks.size();
}

ChunkAssembler::ChunkAssembler(const ChunkIndex& index, ChunkCache& cache, ReadyChunks& ready)
    : index_(index), cache_(cache), ready_(&ready) {
    counts_.chunks = index.chunks.size();
}

Result<void> ChunkAssembler::loadNext() {
    const std::size_t i = next_;
    auto loaded = ready_ != nullptr ? ready_->take(i, chunk_)
                                    : loadChunk(index_, i, cache_, *source_, chunk_);
    if (!loaded) {
        failure_ = ChunkFailure{index_.chunks[i].id, loaded.error()};
        return std::unexpected(loaded.error());
    }
    if (loaded->fetched) {
        ++counts_.fetched;
        counts_.downloaded += loaded->stored;
    }
    ++next_;
    return {};
}

Result<std::size_t> ChunkAssembler::read(std::span<char> out) {
    if (failure_) return std::unexpected(failure_->error);
    if (out.empty()) return 0;
    while (delivered_ == chunk_.size()) {
        if (next_ == index_.chunks.size()) return 0;
        chunk_.clear();
        delivered_ = 0;
        QS_TRY(loadNext());
    }
    const std::size_t n = std::min(out.size(), chunk_.size() - delivered_);
    std::memcpy(out.data(), chunk_.data() + delivered_, n);
    delivered_ += n;
    return n;
}

}  // namespace qs
