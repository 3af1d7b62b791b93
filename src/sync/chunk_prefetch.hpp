#pragma once
// Chunks made ready ahead of the payload that needs them, on worker
// threads, each with a kept-alive connection of its own. A store answers
// each chunk with a small file, so one connection spends most of its time
// waiting for the next answer; a few of them side by side keep the line
// busy. The workers also take cached chunks, decode and check every chunk
// against the index and keep fetched ones in the cache, which spreads that
// work over the machine's cores: the payload's writer, on the calling
// thread, takes the chunks in index order and only copies them out. The
// workers log nothing and touch nothing of the agent but the cache.

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "formats/chunk_index.hpp"
#include "platform/thread.hpp"
#include "sync/chunk_assembler.hpp"
#include "sync/chunk_cache.hpp"

namespace qs {

class ChunkPrefetch final : public ReadyChunks {
public:
    // `connections` are the workers' sources, one thread each; `fallback`
    // serves, on the calling thread, the chunks no worker can take (where
    // no thread can be had). At most `window` chunks wait ready ahead of the
    // one the payload needs, which bounds the memory they take.
    // Everything given must outlive the prefetch.
    ChunkPrefetch(const ChunkIndex& index, ChunkCache& cache,
                  std::span<ChunkSource* const> connections, ChunkSource& fallback,
                  std::size_t window);
    ~ChunkPrefetch() override;
    ChunkPrefetch(const ChunkPrefetch&) = delete;
    ChunkPrefetch& operator=(const ChunkPrefetch&) = delete;

    // Chunk `i`, which must be the one after the last taken, once ready.
    [[nodiscard]] Result<LoadedChunk> take(std::size_t i, std::string& out) override;

    // The HTTP status of the fetch behind the last chunk taken.
    [[nodiscard]] unsigned lastStatus() const { return last_status_; }

    // Lets the work in flight end and stops the workers. Returns what the
    // chunks they fetched (and kept) but nobody took cost, so that the
    // caller can count what a failed payload downloaded.
    [[nodiscard]] AssemblyCounts stop();

private:
    struct Ready {
        Result<LoadedChunk> loaded = std::unexpected(Error::Unexpected);
        std::string bytes;
        unsigned status = 0;
    };

    void work(ChunkSource& source);
    // `room` is a spare buffer (or an empty string) to decode into.
    [[nodiscard]] Ready prepare(ChunkSource& source, std::size_t i, std::string room);
    // Guarded by mutex_: a buffer to decode into, or an empty string.
    [[nodiscard]] std::string spareBuffer();

    const ChunkIndex& index_;
    ChunkCache& cache_;
    ChunkSource& fallback_;
    const std::size_t window_;
    unsigned last_status_ = 0;
    // For each chunk whose ID an earlier one names, the last such chunk:
    // it is made ready first (and kept), and this one then comes from the
    // cache, so no ID is ever fetched or written twice at once.
    std::vector<std::size_t> earlier_;

    // Where each chunk stands.
    enum class Stage : unsigned char {
        waiting,  // no worker has it yet
        taken,    // a worker works on it
        done,     // its work ended: ready_ holds it until the payload takes it
        left,     // a worker had it but could not keep it: the caller's now
    };

    std::mutex mutex_;
    // Each waiter has its own condition, so that a chunk made ready wakes
    // the payload's writer only when it waits for that chunk, and a chunk
    // taken wakes one worker for the one slot it frees: with thousands of
    // chunks, waking every thread for every change costs more than the
    // work itself.
    std::condition_variable slot_free_;   // workers waiting for a slot
    std::condition_variable chunk_done_;  // workers waiting for an earlier chunk
    std::condition_variable needed_done_; // the writer waiting for its chunk
    std::size_t waiting_for_earlier_ = 0;
    // Guarded by mutex_: the next chunk a worker takes, the one the payload
    // needs next, where each chunk stands, what is ready and not taken, the
    // buffers the payload is done with, the workers running, and whether
    // they are to stop (asked to, or a chunk failed: the payload fails
    // there, and what is left waits for the next poll).
    std::size_t next_ = 0;
    std::size_t needed_ = 0;
    std::vector<Stage> stage_;
    std::map<std::size_t, Ready> ready_;
    // The buffers go round between the payload and the workers instead of
    // being allocated (and, at their size, mapped and zeroed by the
    // system) for every chunk; a few are enough, since one comes back for
    // each chunk taken.
    std::vector<std::string> spare_;
    std::size_t running_ = 0;
    bool stopping_ = false;

    std::thread::id caller_;
    std::vector<std::unique_ptr<platform::Worker>> workers_;
};

}  // namespace qs
