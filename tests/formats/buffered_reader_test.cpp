#include "formats/buffered_reader.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "formats/memory_reader.hpp"

namespace qs {
namespace {

// Hands out at most `step` bytes per read, like a socket would.
class TrickleReader final : public Reader {
public:
    TrickleReader(std::string_view bytes, std::size_t step) : bytes_(bytes), step_(step) {}
    Result<std::size_t> read(std::span<char> out) override {
        return inner_read(out.first(std::min(out.size(), step_)));
    }

private:
    Result<std::size_t> inner_read(std::span<char> out) { return bytes_.read(out); }
    MemoryReader bytes_;
    std::size_t step_;
};

TEST(BufferedReader, FillFindConsumeAcrossShortReads) {
    TrickleReader source("HTTP/1.1 200 OK\r\n\r\nbody", 3);
    std::array<char, 16> storage{};
    BufferedReader reader(source, storage);
    ASSERT_GE(*reader.fill(10), 10u);
    EXPECT_EQ(reader.buffered().substr(0, 10), "HTTP/1.1 2");
    EXPECT_EQ(*reader.findByte('2'), 9u);
    EXPECT_FALSE(reader.findByte('\n'));
    reader.consume(9);
    // Asking for more than the stream holds compacts, then stops at its end.
    ASSERT_EQ(*reader.fill(16), 14u);
    EXPECT_EQ(reader.buffered(), "200 OK\r\n\r\nbody");
}

TEST(BufferedReader, ReadExactAndSkipReportEndOfStream) {
    // The reader borrows its bytes: they must outlive it.
    const std::string data = std::string(1000, 'a') + "XYZ";
    MemoryReader source(data);
    std::array<char, 64> storage{};
    BufferedReader reader(source, storage);
    ASSERT_TRUE(reader.skip(1000));
    std::array<char, 3> out{};
    ASSERT_TRUE(reader.readExact(out));
    EXPECT_EQ(std::string_view(out.data(), 3), "XYZ");
    EXPECT_EQ(reader.readExact(out).error(), Error::UnexpectedEndOfStream);
    EXPECT_EQ(reader.skip(1).error(), Error::UnexpectedEndOfStream);
}

TEST(BufferedReader, LargeReadBypassesBufferAfterLookAhead) {
    const std::string data = "0123456789" + std::string(5000, 'z');
    MemoryReader source(data);
    std::array<char, 16> storage{};
    BufferedReader reader(source, storage);
    ASSERT_EQ(*reader.fill(4), 16u);
    std::string got(5010, '\0');
    std::size_t at = 0;
    for (;;) {
        auto n = reader.read(std::span<char>(got.data() + at, got.size() - at));
        ASSERT_TRUE(n);
        if (*n == 0) break;
        at += *n;
    }
    EXPECT_EQ(at, data.size());
    EXPECT_EQ(got, data);
}

}  // namespace
}  // namespace qs
