#include "platform/file_create.hpp"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

#include "support/temp_dir.hpp"

namespace qs::platform {
namespace {

namespace fs = std::filesystem;

// Error names of each call on situations a real file system produces.
TEST(FileCreate, ErrorNamesPerCall) {
    test::TempDir t;
    test::writeFile(t / "file", "keep");
    fs::create_directory(t / "dir");
    fs::create_symlink(t / "file", t / "link_to_file");
    const std::string too_long = t.str() + "/" + std::string(1100, 'n');

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
        {"mkdir, parent missing", drop(makeDirectory(t / "missing/new")), Error::FileNotFound},
        {"mkdir, parent a file", drop(makeDirectory(t / "file/new")), Error::NotDir},
        {"mkdir, too long", drop(makeDirectory(too_long)), Error::NameTooLong},
        {"create, a directory", drop(createFile(t / "dir")), Error::IsDir},
        {"create, parent missing", drop(createFile(t / "missing/f")), Error::FileNotFound},
        {"create, too long", drop(createFile(too_long)), Error::NameTooLong},
        {"create through a link", drop(createFileNoFollowAt(AT_FDCWD, t / "link_to_file")),
         Error::SymLinkLoop},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.result);
        EXPECT_EQ(c.result.error(), c.expected);
    }
    EXPECT_EQ(test::readFile(t / "file"), "keep");
}

TEST(FileCreate, DirectoryMadeOrFound) {
    test::TempDir t;
    EXPECT_EQ(makeDirectory(t / "d"), DirectoryMade::created);
    EXPECT_EQ(makeDirectory(t / "d"), DirectoryMade::existed);
    test::writeFile(t / "f", "");
    EXPECT_EQ(makeDirectory(t / "f"), DirectoryMade::existed);  // any entry counts
}

}  // namespace
}  // namespace qs::platform

namespace qs::platform {
namespace {

// The one-call creation must never leave the directory or pass a link; where
// it declines, the caller's walk takes over, so declining is always safe.
TEST(FileCreate, CreateBeneathNeverPassesALinkOrLeavesTheDirectory) {
    test::TempDir t;
    std::filesystem::create_directories(t / "root/a/b");
    std::filesystem::create_directories(t / "outside");
    test::writeFile(t / "outside/target", "keep");
    std::filesystem::create_symlink(t / "outside", t / "root/a/link_dir");
    std::filesystem::create_symlink(t / "outside/target", t / "root/a/link_file");
    const int root = ::open((t / "root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root, 0);
    const Fd root_fd(root);

    const auto made = createFileBeneath(root, "a/b/new.txt");
    if (!made) GTEST_SKIP() << "this system has no one-call creation; the walk is used";
    EXPECT_TRUE(std::filesystem::is_regular_file(t / "root/a/b/new.txt"));

    for (const char* refused : {"a/link_dir/x", "a/link_file", "../outside/x", "a/../../outside/x",
                                "a/missing/x"}) {
        SCOPED_TRACE(refused);
        EXPECT_FALSE(createFileBeneath(root, refused));
    }
    EXPECT_EQ(test::readFile(t / "outside/target"), "keep");
    EXPECT_FALSE(std::filesystem::exists(t / "outside/x"));
}

}  // namespace
}  // namespace qs::platform
