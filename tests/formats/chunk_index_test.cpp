#include "formats/chunk_index.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/casync.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

constexpr std::uint64_t kIndexType = 0x96824d9c7b129ff9ull;
constexpr std::uint64_t kTableType = 0xe75b9e112f17417dull;
constexpr std::uint64_t kTailMarker = 0x4b4f050e5549ecd1ull;
constexpr std::uint64_t kSha512Flags = 0xb000000000000000ull;  // what casync writes by default
constexpr std::uint64_t kSha256Flags = 0x9000000000000000ull;

void putLe64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

ChunkId idOf(unsigned char seed) {
    ChunkId id{};
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<unsigned char>(seed + i);
    return id;
}

// An index as casync lays it out, every field open to a test that breaks one.
struct IndexImage {
    std::uint64_t header_size = 48;
    std::uint64_t type = kIndexType;
    std::uint64_t flags = kSha512Flags;
    std::uint64_t min = 16384, avg = 65536, max = 262144;
    std::uint64_t table_size = ~std::uint64_t{0};
    std::uint64_t table_type = kTableType;
    std::vector<std::uint64_t> ends = {65536, 131072, 140000};
    bool tail = true;
    std::uint64_t zero_fill = 0;
    std::uint64_t index_offset = 48;
    std::optional<std::uint64_t> tail_size;  // empty: the true table size
    std::uint64_t marker = kTailMarker;

    [[nodiscard]] std::string bytes() const {
        std::string out;
        putLe64(out, header_size);
        putLe64(out, type);
        putLe64(out, flags);
        putLe64(out, min);
        putLe64(out, avg);
        putLe64(out, max);
        putLe64(out, table_size);
        putLe64(out, table_type);
        for (std::size_t i = 0; i < ends.size(); ++i) {
            putLe64(out, ends[i]);
            const ChunkId id = idOf(static_cast<unsigned char>(i));
            out.append(reinterpret_cast<const char*>(id.data()), id.size());
        }
        if (tail) {
            putLe64(out, 0);
            putLe64(out, zero_fill);
            putLe64(out, index_offset);
            putLe64(out, tail_size.value_or(16 + 40 * ends.size() + 40));
            putLe64(out, marker);
        }
        return out;
    }
};

std::string image(const std::function<void(IndexImage&)>& change) {
    IndexImage i;
    change(i);
    return i.bytes();
}

TEST(ChunkIndex, ReadsEveryFieldOfAWellFormedIndex) {
    const auto index = parseChunkIndex(IndexImage{}.bytes());
    ASSERT_TRUE(index) << indexFaultText(index.error());
    EXPECT_EQ(index->digest, ChunkDigest::sha512_256);
    EXPECT_EQ(index->chunk_size_min, 16384u);
    EXPECT_EQ(index->chunk_size_avg, 65536u);
    EXPECT_EQ(index->chunk_size_max, 262144u);
    ASSERT_EQ(index->chunks.size(), 3u);
    EXPECT_EQ(index->chunkStart(2), 131072u);
    EXPECT_EQ(index->payloadSize(), 140000u);
    EXPECT_EQ(index->chunks[1].id, idOf(1));
    EXPECT_EQ(chunkIdHex(idOf(0)).substr(0, 8), "00010203");
}

TEST(ChunkIndex, AcceptsTheEdgesOfWhatCasyncWrites) {
    struct Case {
        std::string_view name;
        std::function<void(IndexImage&)> change;
        ChunkDigest digest;
        std::size_t chunks;
    };
    const Case cases[] = {
        {"SHA-256 chunk names", [](IndexImage& i) { i.flags = kSha256Flags; }, ChunkDigest::sha256, 3},
        {"an empty payload has an empty table", [](IndexImage& i) { i.ends.clear(); },
         ChunkDigest::sha512_256, 0},
        // Only the last chunk may fall short of the minimum: the payload ends there.
        {"a short last chunk", [](IndexImage& i) { i.ends = {65536, 65537}; },
         ChunkDigest::sha512_256, 2},
        {"a single chunk of one byte", [](IndexImage& i) { i.ends = {1}; },
         ChunkDigest::sha512_256, 1},
        {"chunks exactly at the limits", [](IndexImage& i) { i.ends = {16384, 16384 + 262144}; },
         ChunkDigest::sha512_256, 2},
        {"equal limits", [](IndexImage& i) { i.min = i.avg = i.max = 65536; i.ends = {65536}; },
         ChunkDigest::sha512_256, 1},
    };
    for (const Case& c : cases) {
        const auto index = parseChunkIndex(image(c.change));
        ASSERT_TRUE(index) << c.name << ": " << indexFaultText(index.error());
        EXPECT_EQ(index->digest, c.digest) << c.name;
        EXPECT_EQ(index->chunks.size(), c.chunks) << c.name;
    }
}

TEST(ChunkIndex, RefusesHostileIndexesWithTheirFault) {
    struct Case {
        std::string_view name;
        std::function<std::string()> make;
        IndexFault expected;
    };
    const Case cases[] = {
        {"no bytes", [] { return std::string(); }, IndexFault::TooShort},
        {"cut inside the header", [] { return IndexImage{}.bytes().substr(0, 47); },
         IndexFault::TooShort},
        {"bad magic", [] { return image([](IndexImage& i) { i.type = kTableType; }); },
         IndexFault::NotAnIndex},
        {"a tar file", [] { return std::string(512, 'a'); }, IndexFault::NotAnIndex},
        {"header size 40", [] { return image([](IndexImage& i) { i.header_size = 40; }); },
         IndexFault::HeaderSize},
        {"header size 2^64-1", [] { return image([](IndexImage& i) { i.header_size = ~0ull; }); },
         IndexFault::HeaderSize},
        {"a flag nobody defined",
         [] { return image([](IndexImage& i) { i.flags |= 0x0000100000000000ull; }); },
         IndexFault::UnknownFeatureFlags},
        {"minimum chunk size 0", [] { return image([](IndexImage& i) { i.min = 0; }); },
         IndexFault::ChunkSizeLimits},
        {"minimum above average", [] { return image([](IndexImage& i) { i.min = 65537; }); },
         IndexFault::ChunkSizeLimits},
        {"average above maximum", [] { return image([](IndexImage& i) { i.avg = 262145; }); },
         IndexFault::ChunkSizeLimits},
        {"maximum of 1 TiB", [] { return image([](IndexImage& i) { i.max = 1ull << 40; }); },
         IndexFault::ChunkSizeLimitTooLarge},
        {"header without table", [] { return IndexImage{}.bytes().substr(0, 48); },
         IndexFault::TableWithoutTail},
        {"table header size not open",
         [] { return image([](IndexImage& i) { i.table_size = 16 + 40 * 4 + 40; }); },
         IndexFault::TableHeader},
        {"table header of another type",
         [] { return image([](IndexImage& i) { i.table_type = kIndexType; }); },
         IndexFault::TableHeader},
        {"table without tail", [] { return image([](IndexImage& i) { i.tail = false; }); },
         IndexFault::TableWithoutTail},
        {"cut inside an entry", [] { return IndexImage{}.bytes().substr(0, 64 + 40 + 20); },
         IndexFault::TableWithoutTail},
        {"cut inside the tail",
         [] {
             const std::string whole = IndexImage{}.bytes();
             return whole.substr(0, whole.size() - 8);
         },
         IndexFault::TableWithoutTail},
        {"offsets going backwards",
         [] { return image([](IndexImage& i) { i.ends = {65536, 40000, 140000}; }); },
         IndexFault::OffsetBackwards},
        {"a chunk of no bytes",
         [] { return image([](IndexImage& i) { i.ends = {65536, 65536, 140000}; }); },
         IndexFault::OffsetBackwards},
        {"a chunk over the maximum",
         [] { return image([](IndexImage& i) { i.ends = {65536, 65536 + 262145}; }); },
         IndexFault::ChunkTooLarge},
        {"a chunk under the minimum before the last",
         [] { return image([](IndexImage& i) { i.ends = {65536, 65537, 140000}; }); },
         IndexFault::ChunkTooSmall},
        {"a billion entries declared",
         [] { return image([](IndexImage& i) { i.tail_size = 16 + 40 * 1000000000ull + 40; }); },
         IndexFault::TailMismatch},
        {"tail marker wrong", [] { return image([](IndexImage& i) { i.marker = 0; }); },
         IndexFault::TailMismatch},
        {"tail names another table", [] { return image([](IndexImage& i) { i.index_offset = 0; }); },
         IndexFault::TailMismatch},
        {"tail fill not zero", [] { return image([](IndexImage& i) { i.zero_fill = 1; }); },
         IndexFault::TailMismatch},
        {"bytes after the tail", [] { return IndexImage{}.bytes() + "x"; },
         IndexFault::TrailingBytes},
        {"one entry more than the bound",
         [] {
             IndexImage i;
             i.min = i.avg = i.max = 1;
             i.ends.clear();
             for (std::size_t n = 1; n <= kMaxIndexChunks + 1; ++n) i.ends.push_back(n);
             return i.bytes();
         },
         IndexFault::TooManyChunks},
    };
    for (const Case& c : cases) {
        const auto index = parseChunkIndex(c.make());
        ASSERT_FALSE(index) << c.name << " was accepted";
        EXPECT_EQ(index.error(), c.expected)
            << c.name << ": " << indexFaultText(index.error()) << ", expected "
            << indexFaultText(c.expected);
    }
}

// A payload that compresses and cuts the way a tar of configuration does,
// different at every offset so that no two chunks are alike.
std::string blobOf(std::size_t size) {
    std::string out;
    out.reserve(size);
    std::uint32_t x = 7;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += "setting_" + std::to_string(x % 100003) + " = " + std::to_string(x >> 7) + "\n";
    }
    out.resize(size);
    return out;
}

TEST(ChunkIndex, ReadsIndexesCasyncWrites) {
    if (!test::haveCasync()) GTEST_SKIP() << "casync is not installed";
    test::TempDir dir;
    const std::string blob = blobOf(3u << 20);
    test::writeFile(dir / "payload", blob);
    struct Case {
        std::string_view name;
        test::CasyncDigest digest;
        ChunkDigest expected;
        std::string chunk_size;
    };
    const Case cases[] = {
        {"sha512-256", test::CasyncDigest::sha512_256, ChunkDigest::sha512_256, ""},
        {"sha256", test::CasyncDigest::sha256, ChunkDigest::sha256, ""},
        {"small chunks", test::CasyncDigest::sha512_256, ChunkDigest::sha512_256, "1024:4096:16384"},
    };
    for (const Case& c : cases) {
        const std::string index_path = dir / (std::string(c.name) + ".caibx");
        const std::string store = dir / (std::string(c.name) + ".castr");
        ASSERT_TRUE(test::casyncMake(dir / "payload", index_path, store,
                                     {.digest = c.digest, .chunk_size = c.chunk_size}));
        const auto index = parseChunkIndex(test::readFile(index_path));
        ASSERT_TRUE(index) << c.name << ": " << indexFaultText(index.error());
        EXPECT_EQ(index->digest, c.expected) << c.name;
        EXPECT_EQ(index->payloadSize(), blob.size()) << c.name;
        EXPECT_GT(index->chunks.size(), 3u) << c.name;
        // Every chunk the index names is in the store under its name.
        std::size_t files = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(store))
            if (e.is_regular_file() && e.path().extension() == ".cacnk") ++files;
        EXPECT_EQ(files, index->chunks.size()) << c.name;
        for (const ChunkEntry& chunk : index->chunks) {
            const std::string hex = chunkIdHex(chunk.id);
            EXPECT_TRUE(std::filesystem::exists(store + "/" + hex.substr(0, 4) + "/" + hex + ".cacnk"))
                << c.name << ": " << hex;
        }
    }
}

}  // namespace
}  // namespace qs
