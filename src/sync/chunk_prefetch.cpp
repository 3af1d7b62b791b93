#include "sync/chunk_prefetch.hpp"

#include <new>
#include <unordered_set>

#include "sync/chunk_cache.hpp"

namespace qs {

namespace {

struct ChunkIdHash {
    std::size_t operator()(const ChunkId& id) const {
        // The ID is a digest already: its first bytes are as good a hash as any.
        std::size_t h = 0;
        for (std::size_t i = 0; i < sizeof h; ++i) h = (h << 8) | id[i];
        return h;
    }
};

}  // namespace

std::vector<PlannedChunk> planFetches(const ChunkIndex& index, const ChunkCache& cache) {
    std::vector<PlannedChunk> plan;
    std::unordered_set<ChunkId, ChunkIdHash> seen;
    for (std::size_t i = 0; i < index.chunks.size(); ++i) {
        const ChunkEntry& entry = index.chunks[i];
        if (!seen.insert(entry.id).second) continue;
        if (cache.contains(entry.id)) continue;
        plan.push_back({entry.id, storedChunkLimit(entry.end - index.chunkStart(i)), i});
    }
    return plan;
}

ChunkPrefetch::ChunkPrefetch(std::span<const PlannedChunk> plan,
                             std::span<ChunkSource* const> connections, ChunkSource& fallback,
                             std::size_t window)
    : plan_(plan), fallback_(fallback), window_(window == 0 ? 1 : window),
      caller_(std::this_thread::get_id()) {
    if (plan_.empty()) return;
    for (ChunkSource* source : connections) {
        try {
            workers_.push_back(std::make_unique<platform::Worker>([this, source] { work(*source); }));
        } catch (const std::bad_alloc&) {
            // Fewer connections then; with none, the calling thread fetches.
            break;
        }
    }
}

ChunkPrefetch::~ChunkPrefetch() { (void)stop(); }

ChunkPrefetch::Fetched ChunkPrefetch::fetchFrom(ChunkSource& source, const PlannedChunk& chunk) {
    Fetched fetched;
    try {
        fetched.bytes = source.fetch(chunk.id, chunk.limit);
    } catch (const std::bad_alloc&) {
        fetched.bytes = std::unexpected(Error::OutOfMemory);
    }
    fetched.status = source.lastStatus();
    return fetched;
}

void ChunkPrefetch::work(ChunkSource& source) {
    // Where no thread could be had the task runs in the constructor, on the
    // caller's thread; it must not start fetching there, so it leaves the
    // plan to the caller.
    if (std::this_thread::get_id() == caller_) return;
    std::unique_lock lock(mutex_);
    ++running_;
    for (;;) {
        changed_.wait(lock, [this] {
            return stopping_ || next_ >= plan_.size() || next_ < needed_ + window_;
        });
        if (stopping_ || next_ >= plan_.size()) break;
        const std::size_t position = next_++;
        lock.unlock();
        Fetched fetched = fetchFrom(source, plan_[position]);
        lock.lock();
        if (!fetched.bytes) stopping_ = true;
        try {
            arrived_.insert_or_assign(position, std::move(fetched));
        } catch (const std::bad_alloc&) {
            // The node could not be had: the caller then fetches it itself.
            stopping_ = true;
            if (next_ == position + 1) next_ = position;
        }
        changed_.notify_all();
    }
    --running_;
    changed_.notify_all();
}

Result<std::string> ChunkPrefetch::fetch(const ChunkId& id, std::uint64_t limit) {
    std::unique_lock lock(mutex_);
    if (needed_ < plan_.size() && plan_[needed_].id == id) {
        const std::size_t position = needed_;
        changed_.wait(lock, [&] {
            return arrived_.contains(position) ||
                   (next_ <= position && (running_ == 0 || stopping_));
        });
        Fetched fetched;
        if (const auto it = arrived_.find(position); it != arrived_.end()) {
            fetched = std::move(it->second);
            arrived_.erase(it);
        } else {
            // No worker will take it: the caller's own connection does.
            next_ = position + 1;
            lock.unlock();
            fetched = fetchFrom(fallback_, plan_[position]);
            lock.lock();
        }
        ++needed_;
        changed_.notify_all();
        last_status_ = fetched.status;
        return std::move(fetched.bytes);
    }
    lock.unlock();
    auto bytes = fallback_.fetch(id, limit);
    last_status_ = fallback_.lastStatus();
    return bytes;
}

std::vector<std::pair<std::size_t, std::string>> ChunkPrefetch::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    workers_.clear();  // joins each
    std::vector<std::pair<std::size_t, std::string>> left;
    std::lock_guard lock(mutex_);
    try {
        for (auto& [position, fetched] : arrived_) {
            if (fetched.bytes) left.emplace_back(position, std::move(*fetched.bytes));
        }
    } catch (const std::bad_alloc&) {
        // What does not fit is fetched again by the next poll.
    }
    arrived_.clear();
    return left;
}

}  // namespace qs
