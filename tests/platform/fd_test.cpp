#include "platform/fd.hpp"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>

#include "platform/directory.hpp"
#include "support/temp_dir.hpp"

namespace qs::platform {
namespace {

// A bounded read takes what the file holds up to the bound and never a
// byte more, whatever the two sizes are to each other: the string it reads
// into may have room past the bound (small-string storage, growth), and
// that room is not the caller's.
TEST(ReadAtMost, TakesTheFileUpToTheBoundAndNoMore) {
    test::TempDir t;
    std::string content;
    for (int i = 0; content.size() < 70000; ++i) content += std::to_string(i) + ",";
    const std::size_t sizes[] = {0, 5, 20, 30, 70000};
    const std::uint64_t limits[] = {0, 1, 5, 15, 16, 20, 29, 30, 31, 65536, 100000};
    for (const std::size_t size : sizes) {
        test::writeFile(t / "file", content.substr(0, size));
        for (const std::uint64_t limit : limits) {
            SCOPED_TRACE("file of " + std::to_string(size) + ", limit " + std::to_string(limit));
            const auto directory = openDirectory(t.str());
            ASSERT_TRUE(directory);
            const auto file = openForReading(directory->get(), "file", OpenBlocking::nonblock);
            ASSERT_TRUE(file);
            const auto read = readAtMost(file->get(), limit);
            ASSERT_TRUE(read) << errorName(read.error());
            EXPECT_EQ(*read, content.substr(0, std::min<std::uint64_t>(size, limit)));
        }
    }
}

}  // namespace
}  // namespace qs::platform
