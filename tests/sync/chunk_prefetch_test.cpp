#include "sync/chunk_prefetch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sync/chunk_cache.hpp"
#include "support/casync.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

std::string blobOf(std::size_t size, std::uint32_t seed = 5) {
    std::string out;
    std::uint32_t x = seed;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += "entry " + std::to_string(x % 30011) + " " + std::to_string(x >> 9) + "\n";
    }
    out.resize(size);
    return out;
}

// One connection's view of a casync store in a folder; the fetches of all
// connections together may be cut off after a number, as a server that
// goes away does.
class FolderConnection final : public ChunkSource {
public:
    FolderConnection(std::string store, std::atomic<long>& budget)
        : store_(std::move(store)), budget_(budget) {}

    Result<void> fetch(const ChunkId& id, std::uint64_t limit, std::string& into) override {
        if (budget_.fetch_sub(1) <= 0) return std::unexpected(Error::ConnectionResetByPeer);
        const std::string hex = chunkIdHex(id);
        std::string bytes = test::readFile(store_ + "/" + hex.substr(0, 4) + "/" + chunkFileName(id));
        if (bytes.size() > limit) return std::unexpected(Error::StreamTooLong);
        ++fetched;
        into = std::move(bytes);
        return {};
    }

    std::size_t fetched = 0;

private:
    std::string store_;
    std::atomic<long>& budget_;
};

Result<std::string> readAll(Reader& reader) {
    std::string out;
    std::array<char, 5003> buffer{};
    while (true) {
        QS_TRY_ASSIGN(const std::size_t n, reader.read(buffer));
        if (n == 0) return out;
        out.append(buffer.data(), n);
    }
}

// Rows: how many connections, and after how many fetches in all the store
// stops answering (negative: never). Whatever the row, the payload is
// right or the assembly fails on a chunk; with the chunks that arrived kept,
// a second assembly fetches exactly the rest, and no chunk twice. The
// payload is given as a parameter: one whose chunks are all different, and
// one that repeats itself, so that chunks of one ID come several times and
// the workers must neither fetch them twice nor write them at once.
class ChunkPrefetchOf : public testing::TestWithParam<bool> {};

TEST_P(ChunkPrefetchOf, FetchesEachMissingChunkOnceOverItsConnections) {
    if (!test::haveCasync()) GTEST_SKIP() << "casync is not installed";
    test::TempDir dir;
    std::string blob;
    if (GetParam()) {
        const std::string unit = blobOf(40000, 17);
        for (int i = 0; i < 24; ++i) blob += unit;
        blob += blobOf(300000, 23);
    } else {
        blob = blobOf(1 << 20);
    }
    test::writeFile(dir / "blob", blob);
    ASSERT_TRUE(test::casyncMake(dir / "blob", dir / "blob.caibx", dir / "store",
                                 {.chunk_size = "4096:16384:65536"}));
    const auto index = parseChunkIndex(test::readFile(dir / "blob.caibx"));
    ASSERT_TRUE(index);
    ASSERT_GE(index->chunks.size(), 30u);
    std::set<std::string> distinct;
    for (const ChunkEntry& chunk : index->chunks) distinct.insert(chunkIdHex(chunk.id));
    if (GetParam()) {
        ASSERT_LT(distinct.size() * 2, index->chunks.size()) << "the payload does not repeat";
    }

    struct Case {
        std::size_t connections;
        long cut_after;
    };
    const Case cases[] = {{1, -1}, {4, -1}, {16, -1}, {1, 10}, {4, 10}, {4, 0}, {16, 25}};
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("connections " + std::to_string(c.connections) + ", cut after " +
                     std::to_string(c.cut_after));
        const std::string target = dir / ("target" + std::to_string(row++));
        std::filesystem::create_directories(target);
        auto cache = ChunkCache::open(target);
        ASSERT_TRUE(cache);
        std::size_t fetched_in_all = 0;
        for (int attempt = 0; attempt < 2; ++attempt) {
            // A cut always falls before the last distinct chunk.
            const long cut = std::min(c.cut_after, static_cast<long>(distinct.size()) / 2);
            std::atomic<long> budget(attempt == 0 && c.cut_after >= 0 ? cut : 1L << 30);
            std::vector<std::unique_ptr<FolderConnection>> connections;
            std::vector<ChunkSource*> workers;
            for (std::size_t i = 0; i <= c.connections; ++i) {
                connections.push_back(std::make_unique<FolderConnection>(dir / "store", budget));
                if (i > 0) workers.push_back(connections.back().get());
            }
            ChunkPrefetch prefetch(*index, *cache, workers, *connections.front(),
                                   2 * c.connections);
            ChunkAssembler assembler(*index, *cache, prefetch);
            const auto payload = readAll(assembler);
            const AssemblyCounts left = prefetch.stop();
            std::size_t fetched = 0;
            for (const auto& connection : connections) fetched += connection->fetched;
            // Every fetch that succeeded was used or kept.
            EXPECT_EQ(fetched, assembler.counts().fetched + left.fetched);
            fetched_in_all += fetched;
            if (attempt == 0 && c.cut_after >= 0) {
                ASSERT_FALSE(payload);
                ASSERT_TRUE(assembler.failure());
                EXPECT_EQ(assembler.failure()->error, Error::ConnectionResetByPeer);
                continue;
            }
            ASSERT_TRUE(payload) << errorName(payload.error());
            EXPECT_EQ(*payload, blob);
            break;
        }
        // Over both attempts each distinct chunk came once.
        EXPECT_EQ(fetched_in_all, distinct.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Payloads, ChunkPrefetchOf, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& payload) {
                             return payload.param ? "Repeating" : "AllDifferent";
                         });

}  // namespace
}  // namespace qs
