#include "sync/chunk_prefetch.hpp"

#include <new>
#include <string>
#include <utility>
#include <unordered_map>

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

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

}  // namespace

ChunkPrefetch::ChunkPrefetch(const ChunkIndex& index, ChunkCache& cache,
                             std::span<ChunkSource* const> connections, ChunkSource& fallback,
                             std::size_t window)
    : index_(index), cache_(cache), fallback_(fallback), window_(window == 0 ? 1 : window),
      caller_(std::this_thread::get_id()) {
    const std::size_t count = index.chunks.size();
    if (count == 0) return;
    try {
        earlier_.assign(count, kNone);
        stage_.assign(count, Stage::waiting);
        std::unordered_map<ChunkId, std::size_t, ChunkIdHash> last;
        last.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const auto [at, fresh] = last.try_emplace(index.chunks[i].id, i);
            if (!fresh) {
                earlier_[i] = at->second;
                at->second = i;
            }
        }
    } catch (const std::bad_alloc&) {
        // Without the map no worker can tell repeated IDs apart: the
        // calling thread then takes every chunk itself, in order.
        earlier_.clear();
        stage_.clear();
        return;
    }
    for (ChunkSource* source : connections) {
        try {
            workers_.push_back(std::make_unique<platform::Worker>([this, source] { work(*source); }));
        } catch (const std::bad_alloc&) {
            // Fewer workers then; with none, the calling thread does it all.
            break;
        }
    }
}

ChunkPrefetch::~ChunkPrefetch() { (void)stop(); }

std::string ChunkPrefetch::spareBuffer() {
    if (spare_.empty()) return {};
    std::string buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
}

ChunkPrefetch::Ready ChunkPrefetch::prepare(ChunkSource& source, std::size_t i, std::string room) {
    Ready ready;
    ready.bytes = std::move(room);
    try {
        ready.loaded = loadChunk(index_, i, cache_, source, ready.bytes);
    } catch (const std::bad_alloc&) {
        ready.loaded = std::unexpected(Error::OutOfMemory);
    }
    ready.status = source.lastStatus();
    return ready;
}

void ChunkPrefetch::work(ChunkSource& source) {
    // Where no thread could be had the task runs in the constructor, on the
    // caller's thread; it must not start there, so it leaves the chunks to
    // the caller.
    if (std::this_thread::get_id() == caller_) return;
    const std::size_t count = stage_.size();
    std::unique_lock lock(mutex_);
    ++running_;
    for (;;) {
        slot_free_.wait(lock, [&] { return stopping_ || next_ >= count || next_ < needed_ + window_; });
        if (stopping_ || next_ >= count) break;
        const std::size_t i = next_++;
        stage_[i] = Stage::taken;
        // A repeated ID waits for the chunk before it that names it, which
        // was taken before this one and always ends: every chunk taken is
        // seen through, even when the workers are told to stop.
        if (earlier_[i] != kNone) {
            ++waiting_for_earlier_;
            chunk_done_.wait(lock, [&] {
                const Stage before = stage_[earlier_[i]];
                return before == Stage::done || before == Stage::left;
            });
            --waiting_for_earlier_;
        }
        std::string room = spareBuffer();
        lock.unlock();
        Ready ready = prepare(source, i, std::move(room));
        lock.lock();
        if (!ready.loaded) stopping_ = true;
        try {
            ready_.insert_or_assign(i, std::move(ready));
            stage_[i] = Stage::done;
        } catch (const std::bad_alloc&) {
            // The node could not be had: the caller then takes it itself.
            stopping_ = true;
            stage_[i] = Stage::left;
        }
        if (i == needed_ || stopping_) needed_done_.notify_one();
        if (waiting_for_earlier_ > 0) chunk_done_.notify_all();
        // A worker that ends the run leaves its slot to the others.
        if (stopping_) slot_free_.notify_all();
    }
    --running_;
    needed_done_.notify_one();
    chunk_done_.notify_all();
}

Result<LoadedChunk> ChunkPrefetch::take(std::size_t i, std::string& out) {
    std::unique_lock lock(mutex_);
    const std::size_t count = stage_.size();
    Ready ready;
    if (i < count) {
        needed_done_.wait(lock, [&] {
            return stage_[i] == Stage::done || stage_[i] == Stage::left ||
                   (stage_[i] == Stage::waiting && (running_ == 0 || stopping_));
        });
    }
    if (const auto it = ready_.find(i); it != ready_.end()) {
        ready = std::move(it->second);
        ready_.erase(it);
    } else {
        // No worker will take it: the caller's own connection does.
        if (next_ <= i) next_ = i + 1;
        std::string room = spareBuffer();
        lock.unlock();
        ready = prepare(fallback_, i, std::move(room));
        lock.lock();
        if (i < count) stage_[i] = Stage::done;
    }
    needed_ = i + 1;
    slot_free_.notify_one();
    if (waiting_for_earlier_ > 0) chunk_done_.notify_all();
    last_status_ = ready.status;
    if (ready.loaded) out.swap(ready.bytes);
    if (spare_.size() <= workers_.size()) {
        try {
            spare_.push_back(std::move(ready.bytes));
        } catch (const std::bad_alloc&) {
            // Then it is simply freed.
        }
    }
    return ready.loaded;
}

AssemblyCounts ChunkPrefetch::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    slot_free_.notify_all();
    chunk_done_.notify_all();
    workers_.clear();  // joins each
    AssemblyCounts left;
    std::lock_guard lock(mutex_);
    for (const auto& [position, ready] : ready_) {
        if (ready.loaded && ready.loaded->fetched) {
            ++left.fetched;
            left.downloaded += ready.loaded->stored;
        }
    }
    ready_.clear();
    spare_.clear();
    return left;
}

}  // namespace qs
