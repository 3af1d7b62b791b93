#include "deploy/remove_tree.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// Somewhere outside the tree that links inside it point to; it must survive.
struct Outside {
    explicit Outside(const test::TempDir& dir)
        : directory(dir / "outside"), file(dir / "outside.txt") {
        fs::create_directories(directory + "/keep");
        test::writeFile(directory + "/keep/data", "kept");
        test::writeFile(file, "kept");
    }
    void expectIntact() const {
        EXPECT_EQ(test::readFile(directory + "/keep/data"), "kept");
        EXPECT_EQ(test::readFile(file), "kept");
    }
    std::string directory;
    std::string file;
};

// A chain `depth` directories deep with long names, so that the whole path
// soon exceeds what any path-based call accepts; a file and links to
// `outside` at every level, and a side branch at every tenth level. Built
// through descriptors for that reason.
void buildDeepTree(const std::string& root, int depth, const Outside& outside) {
    const std::string name(40, 'n');
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    int level = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(level, 0);
    const auto writeFileAt = [](int dir, const char* file) {
        const int fd = ::openat(dir, file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, "x", 1), 1);
        ::close(fd);
    };
    for (int i = 0; i < depth; ++i) {
        const std::string child = name + std::to_string(i);
        ASSERT_EQ(::mkdirat(level, child.c_str(), 0755), 0);
        const int next = ::openat(level, child.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(level);
        ASSERT_GE(next, 0);
        level = next;
        writeFileAt(level, "file");
        EXPECT_EQ(::symlinkat(outside.directory.c_str(), level, "link-dir"), 0);
        EXPECT_EQ(::symlinkat(outside.file.c_str(), level, "link-file"), 0);
        if (i % 10 == 9) {
            EXPECT_EQ(::mkdirat(level, "branch", 0755), 0);
            EXPECT_EQ(::mkdirat(level, "branch/a", 0755), 0);
            EXPECT_EQ(::mkdirat(level, "branch/a/b", 0755), 0);
            writeFileAt(level, "branch/a/b/leaf");
            EXPECT_EQ(::symlinkat(outside.directory.c_str(), level, "branch/a/up"), 0);
        }
    }
    ::close(level);
}

TEST(RemoveTree, PathForms) {
    test::TempDir dir;
    fs::create_directories(dir / "tree/sub");
    test::writeFile(dir / "tree/sub/f", "x");
    test::writeFile(dir / "file", "x");
    const std::string long_name(1024, 'l');
    struct Case {
        std::string path;
        Error expected;
    };
    const Case cases[] = {
        {dir / "missing/child", Error::FileNotFound},
        {dir / "file/child", Error::NotDir},
        {"/", Error::CannotDeleteRootDirectory},
        {"///", Error::CannotDeleteRootDirectory},
        {"tree", Error::CannotDeleteRootDirectory},
        {"tree//", Error::CannotDeleteRootDirectory},
        // A dot component as the last name would reach the directory above.
        {dir / "tree/sub/..", Error::BadPathName},
        {dir / "tree/sub/../", Error::BadPathName},
        {dir / "tree/sub/.", Error::BadPathName},
        {dir / long_name, Error::NameTooLong},
        {dir / (long_name + "/x"), Error::NameTooLong},
        {dir / std::string(300, 's'), Error::NameTooLong},  // refused by the system
    };
    const std::size_t descriptors = openDescriptorCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 80));
        const auto result = removeTree(c.path);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), c.expected);
    }
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(test::readFile(dir / "tree/sub/f"), "x");
    EXPECT_TRUE(removeTree(dir / "missing"));  // a missing last name is no failure
}

TEST(RemoveTree, RemovesFilesAndLinksWithoutFollowingThem) {
    test::TempDir dir;
    const Outside outside(dir);
    test::writeFile(dir / "file", "x");
    fs::create_directory_symlink(outside.directory, dir / "link");
    fs::create_directory_symlink(outside.directory, dir / "slashed");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    for (const char* name : {"file", "link", "slashed/", "dangling"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(removeTree(dir / name));
    }
    for (const char* name : {"file", "link", "slashed", "dangling"}) {
        EXPECT_FALSE(exists(dir / name)) << name;
    }
    outside.expectIntact();
}

TEST(RemoveTree, RemovesATreeWithLinksOutside) {
    test::TempDir dir;
    const Outside outside(dir);
    buildDeepTree(dir / "tree", 5, outside);
    fs::create_directories(dir / "tree/empty");
    test::writeFile(dir / "tree/.hidden", "x");
    const std::size_t descriptors = openDescriptorCount();
    EXPECT_TRUE(removeTree(dir / "tree/"));
    EXPECT_FALSE(exists(dir / "tree"));
    EXPECT_EQ(openDescriptorCount(), descriptors);
    outside.expectIntact();
}

TEST(RemoveTree, RelativePathFromTheCurrentDirectory) {
    test::TempDir dir;
    fs::create_directories(dir / "base/tree/a");
    test::writeFile(dir / "base/tree/a/f", "x");
    const fs::path saved = fs::current_path();
    fs::current_path(dir.path());
    const auto result = removeTree("base/tree");
    fs::current_path(saved);
    EXPECT_TRUE(result);
    EXPECT_FALSE(exists(dir / "base/tree"));
    EXPECT_TRUE(exists(dir / "base"));
}

TEST(RemoveTree, TreesFarDeeperThanTheOpenDirectoryLimit) {
    for (const int depth : {16, 17, 40, 100}) {
        SCOPED_TRACE(depth);
        test::TempDir dir;
        const Outside outside(dir);
        buildDeepTree(dir / "tree", depth, outside);
        const std::size_t descriptors = openDescriptorCount();
        EXPECT_TRUE(removeTree(dir / "tree"));
        EXPECT_FALSE(exists(dir / "tree"));
        EXPECT_EQ(openDescriptorCount(), descriptors);
        outside.expectIntact();
    }
}

TEST(RemoveTree, WideDirectories) {
    test::TempDir dir;
    const std::string root = dir / "wide";
    fs::create_directories(root);
    // Many more entries than one 1024-byte read returns.
    for (int i = 0; i < 3000; ++i) {
        test::writeFile(root + "/file-with-a-longer-name-" + std::to_string(i), "");
    }
    for (int d = 0; d < 20; ++d) {
        const std::string sub = root + "/sub" + std::to_string(d);
        fs::create_directories(sub);
        for (int i = 0; i < 100; ++i) test::writeFile(sub + "/" + std::to_string(i), "");
    }
    EXPECT_TRUE(removeTree(root));
    EXPECT_FALSE(exists(root));
}

TEST(RemoveTree, EntriesAddedWhileRemovingAreRemovedToo) {
    test::TempDir dir;
    const std::string root = dir / "busy";
    fs::create_directories(root + "/inner");
    for (int i = 0; i < 500; ++i) test::writeFile(root + "/inner/" + std::to_string(i), "");
    std::atomic<bool> stop{false};
    // Keeps adding files until the directory is gone (or a cap is reached).
    std::thread writer([&] {
        for (int i = 0; i < 20000 && !stop; ++i) {
            const std::string path = root + "/inner/late-" + std::to_string(i);
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) break;  // the directory is gone
            ::close(fd);
        }
    });
    const auto result = removeTree(root);
    stop = true;
    writer.join();
    EXPECT_TRUE(result) << errorName(result.error());
    EXPECT_FALSE(exists(root));
}

// A file system mounted for one test and detached when it ends; the test is
// skipped where mounting is not allowed.
class ScratchMount {
public:
    explicit ScratchMount(std::string target) : target_(std::move(target)) {
        fs::create_directories(target_);
    }
    ~ScratchMount() {
        if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
    }
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool mountTmpfs() {
        mounted_ = ::mount("quillstead-test", target_.c_str(), "tmpfs", 0, "size=8m") == 0;
        return mounted_;
    }
    bool mountImage(const std::string& image) {
        const std::string command = "mount -o loop " + image + " " + target_ + " 2>/dev/null";
        mounted_ = std::system(command.c_str()) == 0;
        return mounted_;
    }
    bool makeReadOnly() {
        return ::mount(nullptr, target_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string target_;
    bool mounted_ = false;
};

TEST(RemoveTree, ReadOnlyFileSystemRemovesNothing) {
    test::TempDir dir;
    ScratchMount mount(dir / "mnt");
    if (!mount.mountTmpfs()) GTEST_SKIP() << "cannot mount a tmpfs here";
    fs::create_directories(dir / "mnt/tree/a/b");
    test::writeFile(dir / "mnt/tree/a/b/f", "x");
    test::writeFile(dir / "mnt/tree/top", "x");
    test::writeFile(dir / "mnt/file", "x");
    ASSERT_TRUE(mount.makeReadOnly());
    const std::size_t descriptors = openDescriptorCount();
    for (const char* name : {"mnt/tree", "mnt/file"}) {
        SCOPED_TRACE(name);
        const auto result = removeTree(dir / name);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), Error::ReadOnlyFileSystem);
    }
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_TRUE(exists(dir / "mnt/tree/a/b/f"));
    EXPECT_TRUE(exists(dir / "mnt/tree/top"));
    EXPECT_TRUE(exists(dir / "mnt/file"));
}

TEST(RemoveTree, EntriesWithoutATypeByte) {
    // ext4 without the filetype feature records no entry types: every entry,
    // directories included, comes back as DT_UNKNOWN.
    test::TempDir dir;
    const std::string image = dir / "untyped.ext4";
    const std::string make = "truncate -s 16M " + image +
                             " && mkfs.ext4 -q -F -O ^filetype,^has_journal " + image +
                             " >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "mkfs.ext4 unavailable";
    ScratchMount mount(dir / "mnt");
    if (!mount.mountImage(image)) GTEST_SKIP() << "cannot mount a loop device here";

    const Outside outside(dir);
    buildDeepTree(dir / "mnt/tree", 20, outside);
    fs::create_directories(dir / "mnt/tree/plain/dir");

    DIR* listing = ::opendir((dir / "mnt/tree").c_str());
    ASSERT_NE(listing, nullptr);
    bool untyped = false;
    while (const struct dirent* entry = ::readdir(listing)) {
        if (std::string(entry->d_name) == "plain") untyped = entry->d_type == DT_UNKNOWN;
    }
    ::closedir(listing);
    ASSERT_TRUE(untyped) << "the file system reports entry types after all";

    EXPECT_TRUE(removeTree(dir / "mnt/tree"));
    EXPECT_FALSE(exists(dir / "mnt/tree"));
    EXPECT_TRUE(exists(dir / "mnt/lost+found"));
    outside.expectIntact();
}

TEST(RemoveTree, UnprivilegedFailuresNameTheirError) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    test::TempDir dir;
    const test::Account nobody = test::unprivilegedAccount();
    ASSERT_EQ(::chmod(dir.str().c_str(), 0755), 0);

    // A read-only directory inside a tree that is otherwise the user's own.
    fs::create_directories(dir / "own/ro");
    test::writeFile(dir / "own/ro/stuck", "x");
    // A sticky directory of root's, as /tmp: nobody may not remove root's entries.
    fs::create_directories(dir / "sticky/rootdir");
    test::writeFile(dir / "sticky/rootfile", "x");
    for (const char* path : {"own", "own/ro", "own/ro/stuck"})
        ASSERT_EQ(::chown((dir / path).c_str(), nobody.uid, nobody.gid), 0);
    ASSERT_EQ(::chmod((dir / "own/ro").c_str(), 0555), 0);
    ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01777), 0);

    struct Case {
        const char* path;
        Error expected;
    };
    const Case cases[] = {
        {"own", Error::AccessDenied},
        {"sticky/rootfile", Error::PermissionDenied},
        // Linux says EPERM here before looking at the kind: the directory
        // test finds a directory, which is emptied, and its removal fails.
        {"sticky/rootdir", Error::PermissionDenied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const int child = test::runUnprivileged([&] {
            const auto result = removeTree(dir / c.path);
            return result ? 200 : static_cast<int>(result.error());
        });
        const bool named = child >= 0 && child < 200;
        EXPECT_EQ(child, static_cast<int>(c.expected))
            << (named ? errorName(static_cast<Error>(child)) : std::string_view("?"));
    }
    EXPECT_TRUE(exists(dir / "own/ro/stuck"));
    EXPECT_TRUE(exists(dir / "sticky/rootfile"));
    EXPECT_TRUE(exists(dir / "sticky/rootdir"));
}

}  // namespace
}  // namespace qs
