#include "platform/page_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qs {
namespace {

TEST(PageBuffer, GrowsWithoutLosingBytes) {
    platform::PageBuffer buffer;
    EXPECT_EQ(buffer.size(), 0u);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        const std::string piece(16384 + static_cast<std::size_t>(i), static_cast<char>('a' + i % 26));
        auto spare = buffer.spare(piece.size());
        ASSERT_TRUE(spare);
        std::memcpy(spare->data(), piece.data(), piece.size());
        buffer.grow(piece.size());
        expected += piece;
    }
    EXPECT_EQ(buffer.view(), expected);
    platform::PageBuffer moved = std::move(buffer);
    EXPECT_EQ(moved.view(), expected);
    EXPECT_EQ(buffer.size(), 0u);
}

}  // namespace
}  // namespace qs
