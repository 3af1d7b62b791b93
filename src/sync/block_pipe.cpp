#include "sync/block_pipe.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace qs {

Result<std::unique_ptr<BlockPipe>> BlockPipe::create(std::size_t count, std::size_t size) {
    count = std::max<std::size_t>(count, 1);
    size = std::max<std::size_t>(size, 1);
    try {
        std::unique_ptr<BlockPipe> pipe(new BlockPipe());
        pipe->size_ = size;
        pipe->lengths_.assign(count, 0);
        pipe->blocks_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            pipe->blocks_.emplace_back(new char[size]);
        }
        return pipe;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

std::span<char> BlockPipe::take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || put_ - done_ < blocks_.size(); });
    if (closed_) return {};
    return {blocks_[put_ % blocks_.size()].get(), size_};
}

void BlockPipe::put(std::size_t length) {
    {
        const std::lock_guard lock(mutex_);
        lengths_[put_ % blocks_.size()] = std::min(length, size_);
        ++put_;
    }
    changed_.notify_all();
}

void BlockPipe::end(std::optional<Error> failure) {
    {
        const std::lock_guard lock(mutex_);
        ended_ = true;
        failure_ = failure;
    }
    changed_.notify_all();
}

Result<std::optional<std::string_view>> BlockPipe::next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ended_ || done_ < put_; });
    if (done_ < put_) {
        const std::size_t slot = done_ % blocks_.size();
        return std::optional<std::string_view>(std::string_view(blocks_[slot].get(), lengths_[slot]));
    }
    if (failure_) return std::unexpected(*failure_);
    return std::optional<std::string_view>();
}

void BlockPipe::done() {
    {
        const std::lock_guard lock(mutex_);
        ++done_;
    }
    changed_.notify_all();
}

void BlockPipe::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

ReadAhead::ReadAhead(Reader& source, std::size_t blocks, std::size_t block_size, std::size_t piece)
    : source_(source), piece_(std::clamp<std::size_t>(piece, 1, std::max<std::size_t>(block_size, 1))),
      caller_(std::this_thread::get_id()) {
    auto pipe = BlockPipe::create(blocks, block_size);
    if (!pipe) return;
    pipe_ = std::move(*pipe);
    try {
        worker_.emplace([this] { work(); });
    } catch (const std::bad_alloc&) {
        on_caller_ = true;
    }
    // Where no thread could be had the task ran in the constructor and left
    // the source alone: the reads then go to it directly.
    if (on_caller_) {
        worker_.reset();
        pipe_.reset();
    }
}

ReadAhead::~ReadAhead() {
    if (!pipe_) return;
    pipe_->close();
    worker_.reset();
}

void ReadAhead::work() {
    if (std::this_thread::get_id() == caller_) {
        on_caller_ = true;
        return;
    }
    for (;;) {
        const std::span<char> block = pipe_->take();
        if (block.empty()) return;
        // Whole pieces only, so that every read asks the source for the
        // same amount.
        std::size_t filled = 0;
        std::optional<Result<std::size_t>> ended;
        while (block.size() - filled >= piece_) {
            Result<std::size_t> n = std::unexpected(Error::OutOfMemory);
            try {
                n = source_.read(block.subspan(filled, piece_));
            } catch (const std::bad_alloc&) {
            }
            if (!n || *n == 0) {
                ended = n;
                break;
            }
            filled += *n;
        }
        if (filled > 0) pipe_->put(filled);
        if (ended) {
            if (*ended) {
                pipe_->end();
            } else {
                pipe_->end(ended->error());
            }
            return;
        }
    }
}

Result<std::size_t> ReadAhead::read(std::span<char> out) {
    if (!pipe_) return source_.read(out);
    if (out.empty()) return 0;
    while (block_.empty()) {
        if (holding_) {
            pipe_->done();
            holding_ = false;
        }
        if (ended_) return *ended_;
        const auto next = pipe_->next();
        if (!next) {
            ended_ = std::unexpected(next.error());
            continue;
        }
        if (!*next) {
            ended_ = std::size_t{0};
            continue;
        }
        block_ = **next;
        holding_ = true;
    }
    const std::size_t n = std::min(out.size(), block_.size());
    std::memcpy(out.data(), block_.data(), n);
    block_.remove_prefix(n);
    return n;
}

BackgroundHash::BackgroundHash(std::size_t blocks, std::size_t block_size, Also also, bool sha256)
    : also_(std::move(also)), sha256_(sha256), caller_(std::this_thread::get_id()) {
    if (auto pipe = BlockPipe::create(blocks, block_size); pipe) {
        pipe_ = std::move(*pipe);
        try {
            worker_.emplace([this] { work(); });
        } catch (const std::bad_alloc&) {
            on_caller_ = true;
        }
        if (!on_caller_) return;
        worker_.reset();
        pipe_.reset();
    }
    // Hashed here then, one block at a time.
    own_block_.reset(new (std::nothrow) char[block_size]);
    if (own_block_) own_size_ = block_size;
}

BackgroundHash::~BackgroundHash() { stop(); }

void BackgroundHash::stop() {
    if (!pipe_) return;
    pipe_->end();
    worker_.reset();
    pipe_.reset();
}

void BackgroundHash::work() {
    if (std::this_thread::get_id() == caller_) {
        on_caller_ = true;
        return;
    }
    for (;;) {
        const auto next = pipe_->next();
        if (!next || !*next) return;
        hashBlock(**next);
        pipe_->done();
    }
}

std::span<char> BackgroundHash::block() {
    if (pipe_) {
        taken_ = pipe_->take();
    } else {
        taken_ = std::span<char>(own_block_.get(), own_size_);
    }
    if (taken_.empty()) failed_ = true;
    return taken_;
}

void BackgroundHash::add(std::size_t length) {
    if (taken_.empty() || length == 0) return;
    length = std::min(length, taken_.size());
    if (pipe_) {
        pipe_->put(length);
    } else {
        hashBlock(std::string_view(taken_.data(), length));
    }
    taken_ = {};
}

void BackgroundHash::addBytes(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::span<char> target = block();
        if (target.empty()) return;
        const std::size_t n = std::min(target.size(), bytes.size());
        std::memcpy(target.data(), bytes.data(), n);
        add(n);
        bytes.remove_prefix(n);
    }
}

void BackgroundHash::hashBlock(std::string_view block) {
    if (sha256_) hash_.update(block);
    if (also_) also_(block);
}

bool BackgroundHash::end() {
    stop();
    if (finished_ || failed_) return false;
    finished_ = true;
    return true;
}

Result<Sha256Digest> BackgroundHash::finish() {
    if (!end()) return std::unexpected(Error::OutOfMemory);
    if (!sha256_) return std::unexpected(Error::Unexpected);
    return hash_.finish();
}

}  // namespace qs
