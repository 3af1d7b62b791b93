#include "sync/chunk_fetch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/casync.hpp"
#include "support/nginx_server.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

std::string blobOf(std::size_t size) {
    std::string out;
    out.reserve(size);
    std::uint32_t x = 17;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += "record " + std::to_string(x % 40009) + " " + std::to_string(x >> 5) + "\n";
    }
    out.resize(size);
    return out;
}

std::size_t countLines(const std::string& text, std::string_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(HttpChunkSource, AssemblesAPayloadFromNginxOverOneKeptAliveConnection) {
    if (!test::haveCasync() || !test::NginxServer::available())
        GTEST_SKIP() << "casync or nginx is not installed";
    test::TempDir dir;
    const std::string site = dir / "site";
    std::filesystem::create_directories(site);
    const std::string blob = blobOf(1u << 20);
    test::writeFile(dir / "payload", blob);
    ASSERT_TRUE(test::casyncMake(dir / "payload", site + "/site.caibx", site + "/default.castr",
                                 {.chunk_size = "4096:16384:65536"}));
    auto index = parseChunkIndex(test::readFile(site + "/site.caibx"));
    ASSERT_TRUE(index);
    const std::string target = dir / "target";
    std::filesystem::create_directories(target);
    auto cache = ChunkCache::open(target);
    ASSERT_TRUE(cache);

    test::NginxServer nginx(site);
    HttpClient client;
    HttpChunkSource source(client, {.store_url = nginx.url("/default.castr"), .tls_verify = false});
    EXPECT_EQ(source.chunkUrl(index->chunks[0].id),
              nginx.url("/default.castr/") + chunkIdHex(index->chunks[0].id).substr(0, 4) + "/" +
                  chunkFileName(index->chunks[0].id));

    ChunkAssembler assembler(*index, *cache, source);
    std::string payload;
    std::array<char, 65536> buffer{};
    while (true) {
        const auto n = assembler.read(buffer);
        ASSERT_TRUE(n) << errorName(n.error());
        if (*n == 0) break;
        payload.append(buffer.data(), *n);
    }
    EXPECT_EQ(payload, blob);
    EXPECT_EQ(assembler.counts().fetched, index->chunks.size());
    // nginx writes a request's log line once the response is out, so the
    // last one may come a moment after the client has read it.
    const auto logged = [&] { return countLines(nginx.accessLog(), ".cacnk HTTP/1.1 200"); };
    for (int tries = 0; tries < 200 && logged() < index->chunks.size(); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(logged(), index->chunks.size());
    // One connection carried every chunk and is back in the pool.
    EXPECT_EQ(client.idleCount(), 1u);
    EXPECT_EQ(client.inUseCount(), 0u);

    // A chunk the store lacks: its status is kept, and the connection stays usable.
    ChunkId absent{};
    std::string into = "what an earlier chunk left";
    const auto missing = source.fetch(absent, 1000, into);
    ASSERT_FALSE(missing);
    EXPECT_EQ(source.lastStatus(), 404u);
    EXPECT_EQ(client.idleCount(), 1u);
    // A chunk file larger than the bound is refused, not read into memory.
    const auto too_big = source.fetch(index->chunks[0].id, 10, into);
    ASSERT_FALSE(too_big);
    EXPECT_EQ(too_big.error(), Error::StreamTooLong);
    // One buffer, used for chunk after chunk, a large one after a small one
    // and the other way round, holds each chunk's stored bytes exactly; a
    // bound of exactly a chunk's size takes it, one byte less refuses it.
    std::vector<std::size_t> order(index->chunks.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return test::readFile(site + "/default.castr/" + chunkIdHex(index->chunks[a].id).substr(0, 4) + "/" +
                              chunkFileName(index->chunks[a].id)).size() <
               test::readFile(site + "/default.castr/" + chunkIdHex(index->chunks[b].id).substr(0, 4) + "/" +
                              chunkFileName(index->chunks[b].id)).size();
    });
    const std::size_t picks[] = {order.front(), order.back(), order.front(), order[order.size() / 2]};
    for (const std::size_t i : picks) {
        const ChunkId& id = index->chunks[i].id;
        const std::string stored =
            test::readFile(site + "/default.castr/" + chunkIdHex(id).substr(0, 4) + "/" + chunkFileName(id));
        ASSERT_TRUE(source.fetch(id, stored.size(), into));
        EXPECT_EQ(into, stored);
        const auto over = source.fetch(id, stored.size() - 1, into);
        ASSERT_FALSE(over);
        EXPECT_EQ(over.error(), Error::StreamTooLong);
    }
}

}  // namespace
}  // namespace qs
