#pragma once
// Chunks fetched ahead of the payload that needs them, over several
// kept-alive connections at once. A store answers each chunk with a small
// file, so one connection spends most of its time waiting for the next
// answer; a few of them side by side keep the line busy. Each connection is
// a source of its own, used by one worker thread only; the workers only
// fetch (no decoding, no cache, no log), and the payload is still put
// together, checked and written in index order on the calling thread.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "formats/chunk_index.hpp"
#include "platform/thread.hpp"
#include "sync/chunk_assembler.hpp"

namespace qs {

// A chunk the cache lacks: its ID, the bound on its stored bytes and the
// first index entry that names it.
struct PlannedChunk {
    ChunkId id{};
    std::uint64_t limit = 0;
    std::size_t entry = 0;
};

// The chunks of `index` the cache lacks, each once, in the order the
// payload needs them.
[[nodiscard]] std::vector<PlannedChunk> planFetches(const ChunkIndex& index,
                                                    const ChunkCache& cache);

class ChunkPrefetch final : public ChunkSource {
public:
    // `connections` (at least one) are the workers' sources, one thread
    // each; `fallback` serves, on the calling thread, a chunk outside the
    // plan (a cached copy that failed its check) and the plan itself where
    // no thread can be had. At most `window` chunks wait fetched ahead of
    // the one the payload needs, which bounds the memory they take.
    // Everything given must outlive the prefetch.
    ChunkPrefetch(std::span<const PlannedChunk> plan, std::span<ChunkSource* const> connections,
                  ChunkSource& fallback, std::size_t window);
    ~ChunkPrefetch() override;
    ChunkPrefetch(const ChunkPrefetch&) = delete;
    ChunkPrefetch& operator=(const ChunkPrefetch&) = delete;

    // The next planned chunk when `id` is it (waiting for its fetch),
    // otherwise a fetch on the calling thread.
    [[nodiscard]] Result<std::string> fetch(const ChunkId& id, std::uint64_t limit) override;
    [[nodiscard]] unsigned lastStatus() const override { return last_status_; }

    // Lets the fetches in flight end and stops the workers. Returns the
    // chunks they brought that were never asked for, by plan position, so
    // that the caller can keep what a failed payload already cost.
    [[nodiscard]] std::vector<std::pair<std::size_t, std::string>> stop();

private:
    struct Fetched {
        Result<std::string> bytes = std::unexpected(Error::Unexpected);
        unsigned status = 0;
    };

    void work(ChunkSource& source);
    [[nodiscard]] static Fetched fetchFrom(ChunkSource& source, const PlannedChunk& chunk);

    std::span<const PlannedChunk> plan_;
    ChunkSource& fallback_;
    const std::size_t window_;
    unsigned last_status_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_: the next plan position a worker takes, the one the
    // payload needs next, what has arrived and not been taken, the workers
    // running, and whether they are to stop (asked to, or a fetch failed:
    // the payload fails there, and what is left waits for the next poll).
    std::size_t next_ = 0;
    std::size_t needed_ = 0;
    std::map<std::size_t, Fetched> arrived_;
    std::size_t running_ = 0;
    bool stopping_ = false;

    std::thread::id caller_;
    std::vector<std::unique_ptr<platform::Worker>> workers_;
};

}  // namespace qs
