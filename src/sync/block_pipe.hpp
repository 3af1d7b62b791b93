#pragma once
// Blocks of bytes handed from one thread to another, in order, through a
// fixed ring: the producer fills a block and passes it on, the consumer
// takes it, uses it and gives it back. Two stages of a stream (receiving
// and hashing, decoding and writing files) then run on two cores side by
// side, with memory bounded by the ring, whatever the stream's length.
//
// Each side belongs to one thread. Either side may stop early: the
// producer ends the stream (with a failure or without), the consumer closes
// the pipe; the other side then sees the end instead of waiting for ever.
// ReadAhead and BackgroundHash put the two usual stages on it.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "formats/reader.hpp"
#include "platform/thread.hpp"
#include "tls/digest.hpp"
#include "util/error.hpp"

namespace qs {

class BlockPipe {
public:
    // `count` blocks of `size` bytes each (both at least 1). OutOfMemory
    // when they cannot be had.
    [[nodiscard]] static Result<std::unique_ptr<BlockPipe>> create(std::size_t count, std::size_t size);

    BlockPipe(const BlockPipe&) = delete;
    BlockPipe& operator=(const BlockPipe&) = delete;

    // Producer: the next block to fill, once one is free; empty once the
    // consumer has closed the pipe (nothing more is wanted).
    [[nodiscard]] std::span<char> take();
    // Producer: passes the block from take() on with its first `length`
    // bytes (at least 1).
    void put(std::size_t length);
    // Producer: no more blocks. The consumer gets the blocks put so far,
    // then `failure` if there is one, otherwise the end.
    void end(std::optional<Error> failure = std::nullopt);

    // Consumer: the next block put, once there is one; nullopt at the end;
    // the producer's failure after its last block.
    [[nodiscard]] Result<std::optional<std::string_view>> next();
    // Consumer: gives the block from next() back to the producer.
    void done();
    // Consumer: wants nothing more; the producer's take() returns empty
    // from now on, also while it waits.
    void close();

private:
    BlockPipe() = default;

    std::size_t size_ = 0;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::size_t> lengths_;

    std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_: blocks put and blocks given back so far (the block
    // the producer fills next is put_ modulo the count, the one the
    // consumer takes next is done_ modulo the count), and how each side
    // ended.
    std::uint64_t put_ = 0;
    std::uint64_t done_ = 0;
    bool ended_ = false;
    std::optional<Error> failure_;
    bool closed_ = false;
};

// A Reader that reads its source ahead on a thread of its own, into a
// pipe of `blocks` blocks of `block_size` bytes: the source's work (a
// decoder's, say) is done on another core while the caller uses what came
// before. The caller sees the bytes, the end and the failure it would have
// seen from the source itself, read `piece` bytes at a time (a block holds
// several pieces): a decoder that drops the output of the read in which it
// finds a fault then drops no more than it would for a caller reading
// pieces of that size. The source may be read up to the pipe's size further
// than the caller got, and is the worker's alone until the ReadAhead is
// gone. Where no thread or no pipe can be had, reads go straight to the
// source on the calling thread.
class ReadAhead final : public Reader {
public:
    ReadAhead(Reader& source, std::size_t blocks, std::size_t block_size, std::size_t piece);
    // Closes the pipe and waits for the worker, which ends after the source
    // read it is in.
    ~ReadAhead() override;
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

private:
    void work();

    Reader& source_;
    const std::size_t piece_;
    std::unique_ptr<BlockPipe> pipe_;
    const std::thread::id caller_;
    bool on_caller_ = false;
    // The consumer's place: the block in hand and how much of it was read,
    // and the end (0) or failure once the pipe gave it.
    std::string_view block_;
    bool holding_ = false;
    std::optional<Result<std::size_t>> ended_;
    std::optional<platform::Worker> worker_;
};

// SHA-256 of a stream taken on a thread of its own: the caller fills
// blocks (a receive straight into them, say), uses them, and hands them on
// to be hashed while it fills the next. Where no thread or no pipe can be
// had, the blocks are hashed on the calling thread as they are handed on.
// `also`, when given, is handed every block too, on the same thread and in
// order (another hash over the stream); without `sha256` it is the only
// work, and finish() gives no digest.
class BackgroundHash {
public:
    using Also = std::function<void(std::string_view)>;

    BackgroundHash(std::size_t blocks, std::size_t block_size, Also also = {}, bool sha256 = true);
    // Stops the worker (what it hashed is dropped) unless finish() did.
    ~BackgroundHash();
    BackgroundHash(const BackgroundHash&) = delete;
    BackgroundHash& operator=(const BackgroundHash&) = delete;

    // The block to fill next, waiting while every block is still being
    // hashed; empty when no memory could be had for one (the digest then
    // fails with OutOfMemory).
    [[nodiscard]] std::span<char> block();
    // Hands on the first `length` bytes of the block from block(); 0 is
    // allowed and adds nothing.
    void add(std::size_t length);
    // Copies `bytes` into blocks and hands them on, for bytes held
    // elsewhere.
    void addBytes(std::string_view bytes);
    // The digest of everything added, once the worker is done. OutOfMemory
    // when the hashing context or a block could not be had; Unexpected
    // without sha256.
    [[nodiscard]] Result<Sha256Digest> finish();
    // Waits for the worker: whether everything added was hashed and handed
    // to `also`. finish() is not called after it.
    [[nodiscard]] bool end();

private:
    void work();
    void stop();

    void hashBlock(std::string_view block);

    Sha256 hash_;
    Also also_;
    bool sha256_;
    std::unique_ptr<BlockPipe> pipe_;
    std::unique_ptr<char[]> own_block_;
    std::size_t own_size_ = 0;
    std::span<char> taken_;
    bool failed_ = false;
    const std::thread::id caller_;
    bool on_caller_ = false;
    bool finished_ = false;
    std::optional<platform::Worker> worker_;
};

}  // namespace qs
