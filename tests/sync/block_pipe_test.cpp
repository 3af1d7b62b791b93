#include "sync/block_pipe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "formats/inflater.hpp"
#include "formats/memory_reader.hpp"
#include "support/agent_run.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

std::string bytesOf(std::size_t size) {
    std::string out(size, '\0');
    std::uint32_t x = 7;
    for (char& c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    return out;
}

// Gives its bytes in pieces of the sizes it cycles through (never more than
// asked for), then fails with `failure` at `fail_at` when there is one, and
// notes which threads read it.
class PiecewiseSource final : public Reader {
public:
    PiecewiseSource(std::string bytes, std::vector<std::size_t> pieces,
                    std::optional<std::size_t> fail_at = std::nullopt, Error failure = Error::ReadFailed)
        : bytes_(std::move(bytes)), pieces_(std::move(pieces)), fail_at_(fail_at), failure_(failure) {}

    Result<std::size_t> read(std::span<char> out) override {
        ++reads;
        if (std::this_thread::get_id() != caller_) read_elsewhere = true;
        const std::size_t end = fail_at_.value_or(bytes_.size());
        if (position_ == end && fail_at_) return std::unexpected(failure_);
        std::size_t n = std::min({out.size(), pieces_[turn_++ % pieces_.size()], end - position_});
        std::copy_n(bytes_.data() + position_, n, out.data());
        position_ += n;
        return n;
    }

    std::atomic<std::size_t> reads{0};
    std::atomic<bool> read_elsewhere{false};

private:
    std::string bytes_;
    std::vector<std::size_t> pieces_;
    std::optional<std::size_t> fail_at_;
    Error failure_;
    std::size_t position_ = 0;
    std::size_t turn_ = 0;
    const std::thread::id caller_ = std::this_thread::get_id();
};

// Endless zeros, a block per read.
class EndlessSource final : public Reader {
public:
    Result<std::size_t> read(std::span<char> out) override {
        std::fill(out.begin(), out.end(), '\0');
        ++reads;
        return out.size();
    }
    std::atomic<std::size_t> reads{0};
};

// Reads to the end or the first failure in reads of `size` bytes.
struct Drained {
    std::string bytes;
    std::optional<Error> failure;
};
Drained drainIn(Reader& reader, std::size_t size) {
    Drained drained;
    std::vector<char> buffer(size);
    for (;;) {
        const auto n = reader.read(buffer);
        if (!n) {
            drained.failure = n.error();
            return drained;
        }
        if (*n == 0) return drained;
        drained.bytes.append(buffer.data(), *n);
    }
}

TEST(BackgroundHash, DigestEqualsTheOneShotDigestWhateverTheBlocks) {
    struct Case {
        std::string_view name;
        std::size_t size;
        std::size_t blocks;
        std::size_t block_size;
        std::vector<std::size_t> fills;  // cycled; each capped at the block
    };
    const Case cases[] = {
        {"empty stream", 0, 4, 64, {64}},
        {"one byte at a time", 1000, 2, 1, {1}},
        {"odd pieces, a ring of one", 100003, 1, 4099, {4099, 1, 0, 777, 4098}},
        {"odd pieces, several blocks", 1 << 20, 4, 65537, {65537, 3, 65000, 0, 12345}},
        // Many more blocks than the ring holds: the filling side waits for
        // the hashing one again and again.
        {"full blocks, many rounds", 3 << 20, 3, 4096, {4096}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string payload = bytesOf(c.size);
        BackgroundHash hash(c.blocks, c.block_size);
        std::size_t position = 0;
        for (std::size_t turn = 0; position < payload.size(); ++turn) {
            const std::span<char> block = hash.block();
            ASSERT_EQ(block.size(), c.block_size);
            const std::size_t n = std::min({c.fills[turn % c.fills.size()], block.size(),
                                            payload.size() - position});
            std::copy_n(payload.data() + position, n, block.data());
            position += n;
            hash.add(n);
        }
        // Bytes held elsewhere go in copied, after what was filled in place.
        hash.addBytes(payload);
        const auto digest = hash.finish();
        ASSERT_TRUE(digest);
        const auto expected = digestOf(DigestAlgorithm::sha256, payload + payload);
        ASSERT_TRUE(expected);
        EXPECT_EQ(hexDigest(*digest), hexDigest(*expected));
    }
}

TEST(BackgroundHash, DroppedHalfwayEndsWithoutItsDigest) {
    // A spool write that fails leaves the hash unfinished: the worker ends
    // with the hash, whatever it still had to do, and a finished hash gives
    // no second digest.
    {
        BackgroundHash dropped(2, 4096);
        for (int i = 0; i < 5; ++i) {
            const std::span<char> block = dropped.block();
            ASSERT_FALSE(block.empty());
            std::fill(block.begin(), block.end(), 'x');
            dropped.add(block.size());
        }
        (void)dropped.block();  // taken, never handed on
    }
    BackgroundHash hash(2, 16);
    const auto first = hash.finish();
    ASSERT_TRUE(first);
    EXPECT_EQ(hexDigest(*first), hexDigest(*digestOf(DigestAlgorithm::sha256, "")));
    EXPECT_FALSE(hash.finish());
}

TEST(ReadAhead, GivesTheSourcesBytesEndAndFailure) {
    struct Case {
        std::string_view name;
        std::size_t size;
        std::vector<std::size_t> pieces;  // the source's answers, cycled
        std::optional<std::size_t> fail_at;
        std::size_t blocks;
        std::size_t block_size;
        std::size_t piece;      // what the worker asks the source for
        std::size_t read_size;  // the caller's buffer
    };
    const Case cases[] = {
        {"empty source", 0, {10}, std::nullopt, 4, 64, 64, 10},
        {"failure before any byte", 1000, {10}, 0, 4, 64, 16, 10},
        {"small reads from large blocks", 200001, {65536, 1, 4097}, std::nullopt, 4, 65536, 65536, 7},
        {"large reads from small blocks", 200001, {100, 3}, std::nullopt, 2, 97, 13, 65536},
        {"a ring of one", 50000, {1000, 17}, std::nullopt, 1, 1024, 1000, 333},
        // A piece that does not divide the block: the block goes on with
        // room left rather than ask for less.
        {"pieces leaving room", 70001, {4096, 1}, std::nullopt, 3, 10000, 4096, 999},
        // The failure comes after the last byte in the same order: what
        // the caller gets is exactly what the source gave.
        {"failure mid-block", 100000, {4099, 5}, 77777, 3, 8192, 4096, 1000},
        {"failure on a block boundary", 100000, {4096}, 8192 * 4, 3, 4096, 4096, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = bytesOf(c.size);
        PiecewiseSource direct(bytes, c.pieces, c.fail_at);
        const Drained expected = drainIn(direct, c.read_size);

        PiecewiseSource source(bytes, c.pieces, c.fail_at);
        ReadAhead ahead(source, c.blocks, c.block_size, c.piece);
        const Drained got = drainIn(ahead, c.read_size);
        EXPECT_EQ(got.bytes.size(), expected.bytes.size());
        EXPECT_TRUE(got.bytes == expected.bytes);
        EXPECT_EQ(got.failure, expected.failure);
        // Stays where it ended.
        std::array<char, 16> more{};
        const auto again = ahead.read(more);
        if (expected.failure) {
            ASSERT_FALSE(again);
            EXPECT_EQ(again.error(), *expected.failure);
        } else {
            ASSERT_TRUE(again);
            EXPECT_EQ(*again, 0u);
        }
        EXPECT_TRUE(source.read_elsewhere);
    }
}

TEST(ReadAhead, DecodesGzipFromTheRealToolLikeTheDecoderItself) {
    // The use it is made for: a gzip file decoded on the worker. A member
    // whose trailer was damaged fails after the same bytes as it does when
    // decoded on the calling thread in reads of the same pieces, whatever
    // the caller's reads.
    test::TempDir dir;
    const std::string original = bytesOf(300000) + std::string(500000, 'a') + bytesOf(1234);
    test::writeFile(dir / "payload", original);
    ASSERT_TRUE(test::shell("gzip -c -6 " + (dir / "payload") + " > " + (dir / "payload.gz")));
    std::string good = test::readFile(dir / "payload.gz");
    std::string damaged = good;
    damaged[damaged.size() - 5] ^= 0x40;  // the CRC-32 in the trailer

    struct Case {
        std::string_view name;
        const std::string& gzip;
    };
    const Case cases[] = {{"intact", good}, {"damaged trailer", damaged}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<char, kInflateWorkspaceSize> plain_workspace;
        MemoryReader plain_input(c.gzip);
        Inflater plain(plain_input, Container::gzip, plain_workspace);
        const Drained expected = drainIn(plain, 4096);
        EXPECT_EQ(expected.failure.has_value(), &c.gzip == &damaged);

        std::array<char, kInflateWorkspaceSize> workspace;
        MemoryReader input(c.gzip);
        Inflater inflater(input, Container::gzip, workspace);
        ReadAhead ahead(inflater, 8, 128 * 1024, 4096);
        const Drained got = drainIn(ahead, 100000);
        EXPECT_TRUE(got.bytes == expected.bytes);
        EXPECT_EQ(got.failure, expected.failure);
    }
    MemoryReader input(good);
    std::array<char, kInflateWorkspaceSize> workspace;
    Inflater inflater(input, Container::gzip, workspace);
    ReadAhead ahead(inflater, 8, 128 * 1024, 4096);
    const Drained got = drainIn(ahead, 10000);
    EXPECT_FALSE(got.failure);
    EXPECT_TRUE(got.bytes == original);
}

TEST(ReadAhead, CallerThatStopsEarlyEndsTheWorker) {
    // An extraction that fails at an entry stops reading: the worker, ahead
    // by at most the ring, ends with the ReadAhead, and the source is not
    // read once it is gone.
    EndlessSource source;
    std::size_t reads_at_end = 0;
    {
        ReadAhead ahead(source, 3, 1000, 1000);
        std::array<char, 10> some{};
        for (int i = 0; i < 250; ++i) ASSERT_TRUE(ahead.read(some));
        EXPECT_GE(source.reads.load(), 3u);
    }
    reads_at_end = source.reads.load();
    // With the ring full the worker waits instead of reading on: the
    // source was read for the blocks taken and the ring at most.
    EXPECT_LE(reads_at_end, 3u + 3u + 1u);
    std::this_thread::yield();
    EXPECT_EQ(source.reads.load(), reads_at_end);

    // Dropped before any read at all.
    { ReadAhead unused(source, 2, 64, 64); }
}

}  // namespace
}  // namespace qs
