#include "platform/path_calls.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

#include "support/temp_dir.hpp"

namespace qs::platform {
namespace {

namespace fs = std::filesystem;

// Error names of each call on situations a real file system produces.
TEST(LinkSwitch, ErrorNamesPerCall) {
    test::TempDir t;
    test::writeFile(t / "file", "keep");
    fs::create_directories(t / "dir/full");
    test::writeFile(t / "dir/full/x", "");
    fs::create_directory(t / "empty");
    fs::create_symlink(t / "file", t / "link_to_file");
    char link_buffer[64];

    struct Case {
        const char* name;
        Result<void> result;
        Error expected;
    };
    auto drop = [](auto r) -> Result<void> {
        if (!r) return std::unexpected(r.error());
        return {};
    };
    const Case cases[] = {
        {"symlink, exists", createSymlink("x", t / "file"), Error::PathAlreadyExists},
        {"symlink, parent missing", createSymlink("x", t / "missing/l"), Error::FileNotFound},
        {"symlink, target too long", createSymlink(std::string(1024, 'x'), t / "l"), Error::NameTooLong},
        {"rename over a directory", renamePath(t / "link_to_file", t / "dir/full"), Error::IsDir},
        {"rename, source missing", renamePath(t / "missing", t / "other"), Error::FileNotFound},
        {"rename a directory over a non-empty one", renamePath(t / "empty", t / "dir/full"),
         Error::PathAlreadyExists},
        {"rename a directory into itself", renamePath(t / "dir", t / "dir/full/y"),
         Error::Unexpected},
        {"readlink, not a link", drop(readLink(t / "file", link_buffer)), Error::BadPathName},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.result);
        EXPECT_EQ(c.result.error(), c.expected);
    }
    EXPECT_EQ(test::readFile(t / "file"), "keep");
}

TEST(LinkSwitch, ReadLinkRefusesATargetThatFillsTheBuffer) {
    test::TempDir t;
    fs::create_symlink("abcd", t / "l");
    char small[4];
    EXPECT_EQ(readLink(t / "l", small).error(), Error::NameTooLong);
    char enough[5];
    EXPECT_EQ(readLink(t / "l", enough).value(), 4u);
}

}  // namespace
}  // namespace qs::platform
