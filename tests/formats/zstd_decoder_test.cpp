#include "formats/zstd_decoder.hpp"

#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <string>

namespace qs {
namespace {

std::string zstdOf(std::string_view data, int level = 3) {
    std::string out(ZSTD_compressBound(data.size()), '\0');
    const std::size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

std::string textOf(std::size_t size) {
    std::string out;
    std::uint32_t x = 3;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += "line " + std::to_string(x % 9973) + "\n";
    }
    out.resize(size);
    return out;
}

TEST(ZstdDecoder, DecodesWithinTheBound) {
    const std::string text = textOf(300000);
    struct Case {
        std::string_view name;
        std::string compressed;
        std::size_t limit;
        std::string expected;
    };
    const Case cases[] = {
        {"one frame, bound exactly its size", zstdOf(text), text.size(), text},
        {"one frame, bound far above", zstdOf(text), 16u << 20, text},
        {"an empty frame", zstdOf(""), 100, ""},
        {"two frames back to back", zstdOf(text.substr(0, 1000)) + zstdOf(text.substr(1000)),
         text.size(), text},
        {"level 19", zstdOf(text, 19), text.size(), text},
        {"a short frame after long ones", zstdOf("abc"), 100, "abc"},
        {"a long one after it", zstdOf(text), text.size(), text},
    };
    std::string out = "left over from before";
    for (const Case& c : cases) {
        ASSERT_TRUE(decompressZstd(c.compressed, c.limit, out)) << c.name;
        EXPECT_EQ(out, c.expected) << c.name;
    }
}

TEST(ZstdDecoder, RefusesWhatIsNotAChunk) {
    const std::string text = textOf(100000);
    const std::string frame = zstdOf(text);
    // 64 MiB of zeros packs into a few KiB: a bomb against a 256 KiB chunk bound.
    const std::string bomb = zstdOf(std::string(64u << 20, '\0'), 19);
    ASSERT_LT(bomb.size(), 64u << 10);

    std::string gzip(compressBound(static_cast<uLong>(text.size())) + 32, '\0');
    uLongf gzip_size = static_cast<uLongf>(gzip.size());
    ASSERT_EQ(compress(reinterpret_cast<Bytef*>(gzip.data()), &gzip_size,
                       reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size())),
              Z_OK);
    gzip.resize(gzip_size);

    struct Case {
        std::string_view name;
        std::string compressed;
        std::size_t limit;
        Error expected;
    };
    const Case cases[] = {
        {"no bytes", "", 100, Error::NotZstd},
        {"zlib data", gzip, text.size(), Error::NotZstd},
        {"plain text", text, text.size(), Error::NotZstd},
        {"a bomb", bomb, 256u << 10, Error::Overflow},
        {"one byte over the bound", frame, text.size() - 1, Error::Overflow},
        {"cut short", frame.substr(0, frame.size() / 2), text.size(), Error::InvalidFormat},
        {"cut by its last byte", frame.substr(0, frame.size() - 1), text.size(), Error::InvalidFormat},
        {"only the magic", frame.substr(0, 4), text.size(), Error::InvalidFormat},
        {"garbage after the frame", frame + "garbage!", text.size(), Error::InvalidFormat},
    };
    std::string out;
    for (const Case& c : cases) {
        const auto r = decompressZstd(c.compressed, c.limit, out);
        ASSERT_FALSE(r) << c.name << " was accepted";
        EXPECT_EQ(r.error(), c.expected) << c.name << ": " << errorName(r.error());
        // Nothing of a refused frame (or of what was decoded before) is
        // left to be taken for a chunk.
        EXPECT_TRUE(out.empty()) << c.name;
        out = text;
    }
}

}  // namespace
}  // namespace qs
