#include "sync/chunk_cache.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.hpp"

namespace qs {
namespace {

ChunkId idOf(unsigned char seed) {
    ChunkId id{};
    id.fill(seed);
    return id;
}

ChunkIndex indexOf(std::initializer_list<unsigned char> seeds) {
    ChunkIndex index;
    std::uint64_t end = 0;
    for (const unsigned char seed : seeds) index.chunks.push_back({end += 10, idOf(seed)});
    return index;
}

TEST(ChunkCache, IsAPrivateFolderOfWholeChunkFiles) {
    test::TempDir dir;
    auto cache = ChunkCache::open(dir.str());
    ASSERT_TRUE(cache) << errorName(cache.error());
    struct stat info{};
    ASSERT_EQ(stat((dir / ".chunks").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);

    const auto missing = cache->load(idOf(1), 1000);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), Error::FileNotFound);

    ASSERT_TRUE(cache->save(idOf(1), "stored bytes"));
    ASSERT_TRUE(cache->save(idOf(1), "stored bytes, again"));  // replaced, not appended
    EXPECT_EQ(cache->load(idOf(1), 1000).value_or("?"), "stored bytes, again");
    EXPECT_EQ(cache->load(idOf(1), 6).value_or("?"), "stored");
    EXPECT_TRUE(std::filesystem::exists(dir / (".chunks/" + chunkFileName(idOf(1)))));
    std::string ab;
    for (int i = 0; i < 32; ++i) ab += "ab";
    EXPECT_EQ(chunkFileName(idOf(0xab)), ab + ".cacnk");

    // Opening again keeps what the cache holds.
    auto reopened = ChunkCache::open(dir.str());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->load(idOf(1), 1000).value_or("?"), "stored bytes, again");
    ASSERT_TRUE(reopened->remove(idOf(1)));
    ASSERT_TRUE(reopened->remove(idOf(1)));  // already gone: no error
    EXPECT_FALSE(reopened->load(idOf(1), 1000));
}

TEST(ChunkCache, PruneKeepsExactlyTheChunksOfTheKeptIndexes) {
    test::TempDir dir;
    auto cache = ChunkCache::open(dir.str());
    ASSERT_TRUE(cache);
    for (unsigned char seed = 1; seed <= 6; ++seed)
        ASSERT_TRUE(cache->save(idOf(seed), std::string(seed * 100u, 'x')));
    // What a crash mid-write leaves.
    test::writeFile(dir / (".chunks/.new-" + chunkFileName(idOf(7))), "half");
    EXPECT_EQ(cache->bytes().value_or(0), 2100u + 4u);

    const ChunkIndex older = indexOf({1, 2, 3});
    const ChunkIndex newer = indexOf({3, 4});
    const ChunkIndex* keep[] = {&older, &newer};
    EXPECT_EQ(cache->prune(keep).value_or(0), 3u);  // 5, 6 and the temporary
    for (unsigned char seed = 1; seed <= 4; ++seed)
        EXPECT_TRUE(cache->load(idOf(seed), 1000)) << int{seed};
    EXPECT_FALSE(cache->load(idOf(5), 1000));
    EXPECT_FALSE(cache->load(idOf(6), 1000));
    EXPECT_EQ(cache->bytes().value_or(0), 1000u);

    // A second prune lists the folder from its start again.
    const ChunkIndex* only_newer[] = {&newer};
    EXPECT_EQ(cache->prune(only_newer).value_or(0), 2u);
    EXPECT_EQ(cache->bytes().value_or(0), 700u);
}

}  // namespace
}  // namespace qs
