#include "sync/chunk_assembler.hpp"

#include <algorithm>
#include <cstring>

#include "sync/chunk_check.hpp"

namespace qs {

std::uint64_t storedChunkLimit(std::uint64_t size) { return size + size / 64 + 4096; }

ChunkAssembler::ChunkAssembler(const ChunkIndex& index, ChunkCache& cache, ChunkSource& source)
    : index_(index), cache_(cache), source_(source) {
    counts_.chunks = index.chunks.size();
}

Result<void> ChunkAssembler::loadNext() {
    const std::size_t i = next_;
    const ChunkEntry& entry = index_.chunks[i];
    const std::uint64_t limit = storedChunkLimit(entry.end - index_.chunkStart(i));

    // A cached copy is used only when it passes the same check as a fetched
    // one; a damaged one is dropped and fetched again.
    auto cached = cache_.load(entry.id, limit);
    if (cached) {
        if (decodeChunk(*cached, index_, i, chunk_)) {
            ++next_;
            return {};
        }
        (void)cache_.remove(entry.id);
    }

    auto fetched = source_.fetch(entry.id, limit);
    if (!fetched) {
        failure_ = ChunkFailure{entry.id, fetched.error()};
        return std::unexpected(fetched.error());
    }
    ++counts_.fetched;
    counts_.downloaded += fetched->size();
    if (auto checked = decodeChunk(*fetched, index_, i, chunk_); !checked) {
        failure_ = ChunkFailure{entry.id, checked.error()};
        return std::unexpected(checked.error());
    }
    // A chunk that cannot be cached still serves this payload; the next
    // poll merely fetches it again.
    (void)cache_.save(entry.id, *fetched);
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
