#include "sync/chunk_check.hpp"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <string>

#include "support/casync.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

std::string blobOf(std::size_t size) {
    std::string out;
    out.reserve(size);
    std::uint32_t x = 11;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += "entry_" + std::to_string(x % 65521) + " " + std::to_string(x >> 9) + "\n";
    }
    out.resize(size);
    return out;
}

std::string chunkPath(const std::string& store, const ChunkId& id) {
    const std::string hex = chunkIdHex(id);
    return store + "/" + hex.substr(0, 4) + "/" + hex + ".cacnk";
}

std::string zstdOf(std::string_view data) {
    std::string out(ZSTD_compressBound(data.size()), '\0');
    const std::size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 19);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

// A store written by casync, and the payload it cuts up.
struct Published {
    std::string blob;
    ChunkIndex index;
    std::string store;
};

Published publish(const test::TempDir& dir, std::string_view name, test::CasyncOptions options) {
    Published p;
    p.blob = blobOf(1u << 20);
    test::writeFile(dir / "payload", p.blob);
    p.store = dir / (std::string(name) + ".castr");
    const std::string index_path = dir / (std::string(name) + ".caibx");
    EXPECT_TRUE(test::casyncMake(dir / "payload", index_path, p.store, options));
    auto index = parseChunkIndex(test::readFile(index_path));
    EXPECT_TRUE(index);
    if (index) p.index = std::move(*index);
    return p;
}

TEST(ChunkCheck, RebuildsThePayloadFromACasyncStore) {
    if (!test::haveCasync()) GTEST_SKIP() << "casync is not installed";
    test::TempDir dir;
    for (const auto digest : {test::CasyncDigest::sha512_256, test::CasyncDigest::sha256}) {
        const Published p = publish(dir, digest == test::CasyncDigest::sha256 ? "sha256" : "sha512",
                                    {.digest = digest, .chunk_size = "4096:16384:65536"});
        ASSERT_GT(p.index.chunks.size(), 8u);
        std::string rebuilt, chunk;
        for (std::size_t i = 0; i < p.index.chunks.size(); ++i) {
            const auto r = decodeChunk(test::readFile(chunkPath(p.store, p.index.chunks[i].id)),
                                       p.index, i, chunk);
            ASSERT_TRUE(r) << "chunk " << i << ": " << errorName(r.error());
            EXPECT_TRUE(chunkMatches(chunk, p.index, i));
            rebuilt += chunk;
        }
        EXPECT_EQ(rebuilt, p.blob);
    }
}

TEST(ChunkCheck, RefusesHostileChunks) {
    if (!test::haveCasync()) GTEST_SKIP() << "casync is not installed";
    test::TempDir dir;
    const Published p = publish(dir, "zstd", {.chunk_size = "4096:16384:65536"});
    const Published xz = publish(dir, "xz", {.chunk_size = "4096:16384:65536", .compression = "xz"});
    ASSERT_GT(p.index.chunks.size(), 2u);
    const std::uint64_t size1 = p.index.chunks[1].end - p.index.chunkStart(1);
    const std::string first = test::readFile(chunkPath(p.store, p.index.chunks[0].id));
    const std::string second = test::readFile(chunkPath(p.store, p.index.chunks[1].id));
    const std::string second_bytes = p.blob.substr(p.index.chunkStart(1), size1);
    std::string edited = second_bytes;
    edited[0] = static_cast<char>(edited[0] ^ 1);

    struct Case {
        std::string_view name;
        std::string stored;
        Error expected;
    };
    const Case cases[] = {
        {"another chunk of the store", first, Error::ChunkDigestMismatch},
        {"the right length, one bit changed", zstdOf(edited), Error::ChunkDigestMismatch},
        {"the chunk cut by a byte", zstdOf(second_bytes.substr(1)), Error::ChunkDigestMismatch},
        {"not compressed", second_bytes, Error::NotZstd},
        {"compressed with xz by casync", test::readFile(chunkPath(xz.store, xz.index.chunks[1].id)),
         Error::NotZstd},
        // Inflates to 64 MiB; the index allows 64 KiB chunks.
        {"a zstd bomb", zstdOf(std::string(64u << 20, 'z')), Error::Overflow},
        {"one byte over the chunk size limit", zstdOf(std::string(65537, 'z')), Error::Overflow},
        {"its own bytes and one more", zstdOf(second_bytes + "x"), Error::ChunkDigestMismatch},
        {"a truncated frame", second.substr(0, second.size() - 3), Error::InvalidFormat},
    };
    std::string out;
    for (const Case& c : cases) {
        const auto r = decodeChunk(c.stored, p.index, 1, out);
        ASSERT_FALSE(r) << c.name << " was accepted";
        EXPECT_EQ(r.error(), c.expected) << c.name << ": " << errorName(r.error());
    }
    ASSERT_TRUE(decodeChunk(second, p.index, 1, out));
    EXPECT_EQ(out, second_bytes);
}

}  // namespace
}  // namespace qs
