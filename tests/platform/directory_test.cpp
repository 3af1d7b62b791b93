#include "platform/directory.hpp"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>

#include "support/temp_dir.hpp"

namespace qs::platform {
namespace {

namespace fs = std::filesystem;

TEST(Directory, OpenErrorNames) {
    test::TempDir t;
    test::writeFile(t / "file", "keep");
    fs::create_directory(t / "dir");
    fs::create_symlink(t / "dir", t / "link_to_dir");
    fs::create_symlink(t / "missing", t / "dangling");
    const std::string too_long = t.str() + "/" + std::string(1100, 'n');

    struct Case {
        const char* name;
        Result<Fd> result;
        Error expected;
    };
    const Case cases[] = {
        {"no-follow, a link", openDirectoryNoFollowAt(AT_FDCWD, t / "link_to_dir"),
         Error::SymLinkLoop},
        {"no-follow, a dangling link", openDirectoryNoFollowAt(AT_FDCWD, t / "dangling"),
         Error::SymLinkLoop},
        {"no-follow, a file", openDirectoryNoFollowAt(AT_FDCWD, t / "file"), Error::NotDir},
        {"no-follow, missing", openDirectoryNoFollowAt(AT_FDCWD, t / "missing"),
         Error::FileNotFound},
        {"a file", openDirectory(t / "file"), Error::NotDir},
        {"missing", openDirectory(t / "missing"), Error::FileNotFound},
        {"a dangling link", openDirectory(t / "dangling"), Error::FileNotFound},
        {"too long", openDirectory(too_long), Error::NameTooLong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.result);
        EXPECT_EQ(c.result.error(), c.expected);
    }
    // openDirectory follows the link the operator configured.
    EXPECT_TRUE(openDirectory(t / "link_to_dir"));
    EXPECT_TRUE(openDirectoryNoFollowAt(AT_FDCWD, t / "dir"));
}

// The cursor names every entry once with the type its listing records, and
// never "." or "..".
TEST(Directory, CursorListsEachEntryWithItsType) {
    test::TempDir t;
    test::writeFile(t / "file", "");
    fs::create_directory(t / "dir");
    fs::create_symlink("file", t / "link");
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0600), 0);
    // Enough long names to take several getdents chunks.
    std::map<std::string, EntryType> expected = {{"file", EntryType::regular},
                                                 {"dir", EntryType::directory},
                                                 {"link", EntryType::symlink},
                                                 {"fifo", EntryType::other}};
    for (int i = 0; i < 40; ++i) {
        const std::string name = std::string(200, 'a') + std::to_string(i);
        test::writeFile(t / name, "");
        expected.emplace(name, EntryType::regular);
    }

    auto opened = openDirectory(t.str());
    ASSERT_TRUE(opened);
    DirectoryCursor cursor;
    std::map<std::string, EntryType> seen;
    for (;;) {
        auto entry = cursor.next(opened->get());
        ASSERT_TRUE(entry);
        if (!*entry) break;
        EXPECT_TRUE(seen.emplace(std::string((*entry)->view()), (*entry)->type).second);
    }
    ASSERT_EQ(seen.size(), expected.size());
    for (const auto& [name, type] : expected) {
        SCOPED_TRACE(name);
        // A file system that records no types answers `unknown` for all.
        ASSERT_TRUE(seen.contains(name));
        if (seen[name] != EntryType::unknown) {
            EXPECT_EQ(seen[name], type);
        }
    }
}

}  // namespace
}  // namespace qs::platform
