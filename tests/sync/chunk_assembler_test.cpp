#include "sync/chunk_assembler.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "support/casync.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

std::string blobOf(std::size_t size, std::uint32_t seed) {
    std::string out;
    out.reserve(size);
    std::uint32_t x = seed;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += "file_" + std::to_string(x % 32749) + " " + std::to_string(x >> 11) + "\n";
    }
    out.resize(size);
    return out;
}

// A casync store in a folder, with a switch that cuts it off after a number
// of fetches, as a dropped connection does.
class FolderSource final : public ChunkSource {
public:
    explicit FolderSource(std::string store) : store_(std::move(store)) {}

    Result<void> fetch(const ChunkId& id, std::uint64_t limit, std::string& into) override {
        if (fetches_left_ == 0) return std::unexpected(Error::ConnectionResetByPeer);
        if (fetches_left_ > 0) --fetches_left_;
        const std::string hex = chunkIdHex(id);
        const std::string path = store_ + "/" + hex.substr(0, 4) + "/" + chunkFileName(id);
        if (!std::filesystem::exists(path)) return std::unexpected(Error::FileNotFound);
        std::string bytes = test::readFile(path);
        if (bytes.size() > limit) return std::unexpected(Error::StreamTooLong);
        ++fetched_;
        into = std::move(bytes);
        return {};
    }

    long fetches_left_ = -1;  // negative: no cut
    std::size_t fetched_ = 0;

private:
    std::string store_;
};

struct Published {
    std::string blob;
    ChunkIndex index;
    std::string store;
};

Published publish(const test::TempDir& dir, const std::string& name, std::string blob) {
    Published p;
    p.blob = std::move(blob);
    test::writeFile(dir / name, p.blob);
    p.store = dir / "site.castr";  // one store for every version, as a publisher keeps it
    EXPECT_TRUE(test::casyncMake(dir / name, dir / (name + ".caibx"), p.store,
                                 {.chunk_size = "4096:16384:65536"}));
    auto index = parseChunkIndex(test::readFile(dir / (name + ".caibx")));
    EXPECT_TRUE(index);
    if (index) p.index = std::move(*index);
    return p;
}

// Reads the whole payload in odd-sized pieces, so pieces straddle chunks.
Result<std::string> readAll(Reader& reader) {
    std::string out;
    std::array<char, 7001> buffer{};
    while (true) {
        QS_TRY_ASSIGN(const std::size_t n, reader.read(buffer));
        if (n == 0) return out;
        out.append(buffer.data(), n);
    }
}

std::uint64_t storedBytes(const std::string& store, const ChunkIndex& index) {
    std::uint64_t total = 0;
    for (const ChunkEntry& c : index.chunks) {
        const std::string hex = chunkIdHex(c.id);
        total += std::filesystem::file_size(store + "/" + hex.substr(0, 4) + "/" + chunkFileName(c.id));
    }
    return total;
}

TEST(ChunkAssembler, FetchesOnlyWhatTheCacheLacks) {
    if (!test::haveCasync()) GTEST_SKIP() << "casync is not installed";
    test::TempDir dir;
    const std::string target = dir / "target";
    std::filesystem::create_directory(target);
    auto cache = ChunkCache::open(target);
    ASSERT_TRUE(cache);

    // First install: every chunk comes from the store.
    const Published v1 = publish(dir, "v1", blobOf(2u << 20, 5));
    ASSERT_GT(v1.index.chunks.size(), 30u);
    FolderSource source(v1.store);
    {
        ChunkAssembler assembler(v1.index, *cache, source);
        const auto payload = readAll(assembler);
        ASSERT_TRUE(payload) << errorName(payload.error());
        EXPECT_EQ(*payload, v1.blob);
        EXPECT_EQ(assembler.counts().chunks, v1.index.chunks.size());
        EXPECT_EQ(assembler.counts().fetched, v1.index.chunks.size());
        EXPECT_EQ(assembler.counts().downloaded, storedBytes(v1.store, v1.index));
    }
    // The same index again: nothing is fetched.
    {
        ChunkAssembler assembler(v1.index, *cache, source);
        ASSERT_EQ(readAll(assembler).value_or(""), v1.blob);
        EXPECT_EQ(assembler.counts().fetched, 0u);
        EXPECT_EQ(assembler.counts().downloaded, 0u);
    }
    // A few bytes edited in the middle: only the chunks around the edit are new.
    std::string edited = v1.blob;
    edited.replace(1u << 20, 12, "edited here!");
    const Published v2 = publish(dir, "v2", edited);
    {
        ChunkAssembler assembler(v2.index, *cache, source);
        ASSERT_EQ(readAll(assembler).value_or(""), v2.blob);
        EXPECT_GE(assembler.counts().fetched, 1u);
        EXPECT_LE(assembler.counts().fetched, 3u);
    }
}

TEST(ChunkAssembler, AFailedFetchKeepsTheGoodChunksForTheNextAttempt) {
    if (!test::haveCasync()) GTEST_SKIP() << "casync is not installed";
    test::TempDir dir;
    const std::string target = dir / "target";
    std::filesystem::create_directory(target);
    auto cache = ChunkCache::open(target);
    ASSERT_TRUE(cache);
    const Published v1 = publish(dir, "v1", blobOf(1u << 20, 9));
    const std::size_t total = v1.index.chunks.size();
    ASSERT_GT(total, 10u);

    FolderSource source(v1.store);
    source.fetches_left_ = 6;
    {
        ChunkAssembler assembler(v1.index, *cache, source);
        const auto payload = readAll(assembler);
        ASSERT_FALSE(payload);
        EXPECT_EQ(payload.error(), Error::ConnectionResetByPeer);
        ASSERT_TRUE(assembler.failure());
        EXPECT_EQ(assembler.failure()->id, v1.index.chunks[6].id);
        EXPECT_EQ(assembler.counts().fetched, 6u);
        // Every later read reports the same failure.
        std::array<char, 16> buffer{};
        EXPECT_FALSE(assembler.read(buffer));
    }
    source.fetches_left_ = -1;
    {
        ChunkAssembler assembler(v1.index, *cache, source);
        ASSERT_EQ(readAll(assembler).value_or(""), v1.blob);
        EXPECT_EQ(assembler.counts().fetched, total - 6);
    }
}

TEST(ChunkAssembler, NamesTheChunkThatFailsItsCheckAndRefetchesADamagedCacheCopy) {
    if (!test::haveCasync()) GTEST_SKIP() << "casync is not installed";
    test::TempDir dir;
    const std::string target = dir / "target";
    std::filesystem::create_directory(target);
    auto cache = ChunkCache::open(target);
    ASSERT_TRUE(cache);
    const Published v1 = publish(dir, "v1", blobOf(1u << 20, 13));
    ASSERT_GT(v1.index.chunks.size(), 4u);
    auto pathOf = [&](std::size_t i) {
        const std::string hex = chunkIdHex(v1.index.chunks[i].id);
        return v1.store + "/" + hex.substr(0, 4) + "/" + chunkFileName(v1.index.chunks[i].id);
    };

    // The store serves chunk 2's file in place of chunk 3's.
    const std::string good3 = test::readFile(pathOf(3));
    test::writeFile(pathOf(3), test::readFile(pathOf(2)));
    FolderSource source(v1.store);
    {
        ChunkAssembler assembler(v1.index, *cache, source);
        const auto payload = readAll(assembler);
        ASSERT_FALSE(payload);
        EXPECT_EQ(payload.error(), Error::ChunkDigestMismatch);
        ASSERT_TRUE(assembler.failure());
        EXPECT_EQ(assembler.failure()->id, v1.index.chunks[3].id);
        EXPECT_FALSE(cache->load(v1.index.chunks[3].id, 1u << 20)) << "a bad chunk was cached";
    }
    test::writeFile(pathOf(3), good3);

    // A cached copy damaged on disk is dropped and fetched again.
    ASSERT_TRUE(cache->save(v1.index.chunks[1].id, "not a chunk at all"));
    {
        ChunkAssembler assembler(v1.index, *cache, source);
        ASSERT_EQ(readAll(assembler).value_or(""), v1.blob);
        EXPECT_EQ(assembler.counts().fetched, v1.index.chunks.size() - 2);  // 0 and 2 were good
    }
}

}  // namespace
}  // namespace qs
