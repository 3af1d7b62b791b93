#include "deploy/extract_archive.hpp"

#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/archive.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;
using test::ArchiveEntry;
using Kind = test::ArchiveEntry::Kind;

struct Extracted {
    ExtractResult result;
    std::string log;
};

Extracted extract(const std::string& archive, const std::string& destination,
                  const std::optional<std::string>& owner = std::nullopt,
                  std::optional<std::uint32_t> mode = std::nullopt) {
    test::StderrCapture capture;
    ExtractResult result = extractArchive(archive, destination, owner, mode);
    return {result, capture.text()};
}

std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Every regular file and directory below `root`, relative, sorted; links too.
std::vector<std::string> listTree(const std::string& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string kind = e.is_symlink() ? "L " : e.is_directory() ? "D " : "F ";
        out.push_back(kind + fs::relative(e.path(), root).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode;
}

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(saved_); }

private:
    mode_t saved_;
};

TEST(ExtractArchive, GnuTarTreeIsWrittenWithContentsAndCount) {
    test::TempDir source;
    fs::create_directories(source / "etc/app/conf.d");
    test::writeFile(source / "etc/app/main.conf", "main\n");
    test::writeFile(source / "etc/app/conf.d/10-x.conf", std::string(100000, 'x'));
    test::writeFile(source / "empty", "");
    test::writeFile(source / "top.txt", "top");
    const std::string archive = test::gnuTarGzOf(source.str());

    test::TempDir out;
    const std::size_t fds = openDescriptors();
    const Extracted e = extract(archive, out.str());
    ASSERT_FALSE(e.result.error) << e.log;
    EXPECT_EQ(e.result.count, 4u);
    EXPECT_EQ(e.log, "");
    EXPECT_EQ(openDescriptors(), fds);
    EXPECT_EQ(listTree(out.str()), listTree(source.str()));
    EXPECT_EQ(test::readFile(out / "etc/app/conf.d/10-x.conf"), std::string(100000, 'x'));
    EXPECT_EQ(test::readFile(out / "etc/app/main.conf"), "main\n");
    EXPECT_EQ(test::readFile(out / "empty"), "");
}

TEST(ExtractArchive, EntryShapes) {
    struct Case {
        const char* name;
        std::vector<ArchiveEntry> entries;
        std::uint32_t count;
        std::vector<std::string> tree;
    };
    const Case cases[] = {
        {"directories only", {test::dirEntry("a"), test::dirEntry("a/b")}, 0, {"D a", "D a/b"}},
        {"nested in order",
         {test::dirEntry("a"), test::dirEntry("a/b"), test::fileEntry("a/b/c.txt", "c")},
         1,
         {"D a", "D a/b", "F a/b/c.txt"}},
        {"one parent level is made", {test::fileEntry("d/f", "x")}, 1, {"D d", "F d/f"}},
        {"dot-slash", {test::fileEntry("./x", "1")}, 1, {"F x"}},
        {"doubled slash", {test::dirEntry("p"), test::fileEntry("p//q", "1")}, 1, {"D p", "F p/q"}},
        {"link entry becomes a plain empty file", {test::linkEntry("link", "/etc/passwd")}, 1,
         {"F link"}},
        {"zero-length file", {test::fileEntry("zero", "")}, 1, {"F zero"}},
        // Absolute names stay inside: the destination is simply prefixed.
        {"absolute names", {test::dirEntry("/abs"), test::fileEntry("/abs/x", "a"), test::fileEntry("/y", "b")},
         2, {"D abs", "F abs/x", "F y"}},
        {"empty archive", {}, 0, {}},
    };
    UmaskGuard mask(022);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir out;
        const Extracted e = extract(test::makeTarGz(c.entries), out.str());
        ASSERT_FALSE(e.result.error) << e.log;
        EXPECT_EQ(e.result.count, c.count);
        EXPECT_EQ(listTree(out.str()), c.tree);
    }
}

// The entry's mode reaches the file; a link entry counts as mode 0, so the
// plain file it becomes does not take the link's 0777.
TEST(ExtractArchive, FileModes) {
    struct Case {
        const char* name;
        test::ArchiveEntry entry;
        std::optional<std::uint32_t> extract_mode;
        mode_t expected;
    };
    const Case cases[] = {
        {"entry mode", test::fileEntry("f", "x", 0600), std::nullopt, 0600},
        {"executable", test::fileEntry("f", "x", 0755), std::nullopt, 0755},
        {"extract_mode wins", test::fileEntry("f", "x", 0600), 0640, 0640},
        {"link entry", test::linkEntry("f", "target"), std::nullopt, 0644},
        {"link entry with extract_mode", test::linkEntry("f", "target"), 0600, 0600},
    };
    UmaskGuard mask(022);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir out;
        const Extracted e = extract(test::makeTarGz({c.entry}), out.str(), std::nullopt, c.extract_mode);
        ASSERT_FALSE(e.result.error) << e.log;
        EXPECT_TRUE(S_ISREG(modeOf(out / "f")));
        EXPECT_EQ(modeOf(out / "f") & 07777, c.expected);
    }
}

TEST(ExtractArchive, ExistingFileIsTruncatedAndReplaced) {
    test::TempDir out;
    test::writeFile(out / "f", std::string(5000, 'o'));
    const Extracted e = extract(test::makeTarGz({test::fileEntry("f", "new")}), out.str());
    ASSERT_FALSE(e.result.error) << e.log;
    EXPECT_EQ(test::readFile(out / "f"), "new");
}

TEST(ExtractArchive, EmptyGzipMemberIsAnEmptyArchive) {
    test::TempDir out;
    const Extracted e = extract(test::gzip(""), out.str());
    ASSERT_FALSE(e.result.error) << e.log;
    EXPECT_EQ(e.result.count, 0u);
}

// Each failing step: its exact lines, its result, what was written before.
TEST(ExtractArchive, FailuresLogTheirLinesAndStop) {
    const std::string plain_tar = test::makeTar({test::fileEntry("a", "1")});
    const std::string good = test::makeTarGz({test::fileEntry("first", "1"), test::fileEntry("second", "2")});
    std::string big_data(300000, '\0');
    for (std::size_t i = 0; i < big_data.size(); ++i)
        big_data[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string big = test::makeTarGz({test::fileEntry("small", "s"), test::fileEntry("big", big_data)});

    struct Case {
        const char* name;
        std::string archive;
        std::function<void(const std::string&)> prepare;
        Error error;
        std::string log;  // "{dest}" stands for the destination
        std::vector<std::string> tree;
    };
    const std::string long_name = std::string(1010, 'n');
    const std::string long_dir = std::string(200, 'd') + "/" + std::string(200, 'd') + "/" +
                                 std::string(200, 'd') + "/" + std::string(200, 'd') + "/" +
                                 std::string(200, 'd') + "/f";
    const Case cases[] = {
        {"plain tar is not gzip", plain_tar, nullptr, Error::TarParseFailed,
         "error(bundle): tar iteration error: error.ReadFailed\n", {}},
        {"gzip cut short after the first entry", good.substr(0, good.size() - 12), nullptr,
         Error::TarParseFailed, "error(bundle): tar iteration error: error.ReadFailed\n",
         {"F first", "F second"}},
        {"hard link", test::makeTarGz({test::fileEntry("before", "b"), test::linkEntry("h", "before", Kind::hardlink)}),
         nullptr, Error::TarParseFailed,
         "error(bundle): tar iteration error: error.TarUnsupportedHeader\n", {"F before"}},
        {"missing parent", test::makeTarGz({test::fileEntry("a/b/c.txt", "c")}), nullptr, Error::MakePath,
         "error(bundle): failed to create subdir for a/b/c.txt: error.FileNotFound\n", {}},
        {"parent is a file", test::makeTarGz({test::fileEntry("p", "1"), test::fileEntry("p/q", "2")}), nullptr,
         Error::MakePath, "error(bundle): failed to create subdir for p/q: error.NotDir\n", {"F p"}},
        {"path is a directory", test::makeTarGz({test::dirEntry("d"), test::fileEntry("d/.", "")}),
         nullptr, Error::ExtractFailed,
         "error(bundle): failed to create {dest}/d/.: error.IsDir\n"
         "error(bundle): failed to write d/.: error.CreateFileFailed\n",
         {"D d"}},
        {"file path of 1024 bytes or more", test::makeTarGz({test::fileEntry(long_name, "x")}), nullptr,
         Error::ExtractFailed,
         "error(bundle): failed to create {dest}/" + long_name + ": error.NameTooLong\n"
         "error(bundle): failed to write " + long_name + ": error.CreateFileFailed\n",
         {}},
        {"parent path of 1024 bytes or more", test::makeTarGz({test::fileEntry(long_dir, "x")}), nullptr,
         Error::MakePath, "error(bundle): failed to create subdir for " + long_dir + ": error.NameTooLong\n",
         {}},
        {"data cut short", big.substr(0, big.size() / 2), nullptr, Error::ExtractFailed,
         "error(bundle): failed to extract big: error.ReadFailed\n"
         "error(bundle): failed to write big: error.ExtractFailed\n",
         {"F big", "F small"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir out;
        if (c.prepare) c.prepare(out.str());
        const std::size_t fds = openDescriptors();
        const Extracted e = extract(c.archive, out.str());
        ASSERT_TRUE(e.result.error);
        EXPECT_EQ(*e.result.error, c.error);
        std::string expected = c.log;
        for (std::size_t at; (at = expected.find("{dest}")) != std::string::npos;)
            expected.replace(at, 6, out.str());
        EXPECT_EQ(e.log, expected);
        EXPECT_EQ(listTree(out.str()), c.tree);
        EXPECT_EQ(openDescriptors(), fds);
    }
}

TEST(ExtractArchive, MissingDestinationFailsAtTheFirstFile) {
    test::TempDir base;
    const std::string dest = base / "missing";
    const Extracted e = extract(test::makeTarGz({test::dirEntry("d"), test::fileEntry("x", "1")}), dest);
    ASSERT_TRUE(e.result.error);
    EXPECT_EQ(*e.result.error, Error::ExtractFailed);
    EXPECT_EQ(e.log, "error(bundle): failed to create " + dest + "/x: error.FileNotFound\n"
                     "error(bundle): failed to write x: error.CreateFileFailed\n");
}

// Nothing in an archive reaches outside the destination: ".." components
// are refused before anything is made for the entry.
TEST(ExtractArchive, DotDotNamesAreRefused) {
    struct Case {
        std::vector<ArchiveEntry> entries;
        std::string refused;
        std::vector<std::string> tree;
    };
    const Case cases[] = {
        {{test::fileEntry("../x", "evil")}, "../x", {}},
        {{test::dirEntry("a"), test::fileEntry("a/../../x", "evil")}, "a/../../x", {"D a"}},
        {{test::fileEntry("ok", "1"), test::dirEntry("../d")}, "../d/", {"F ok"}},
        {{test::fileEntry("..", "evil")}, "..", {}},
        {{test::fileEntry("/../x", "evil")}, "/../x", {}},
        {{test::fileEntry("a/..", "evil")}, "a/..", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refused);
        test::TempDir root;
        const std::string dest = root / "dest";
        fs::create_directory(dest);
        const Extracted e = extract(test::makeTarGz(c.entries), dest);
        ASSERT_TRUE(e.result.error);
        EXPECT_EQ(*e.result.error, Error::ExtractFailed);
        EXPECT_EQ(e.log, "error(bundle): refusing " + c.refused + ": a \"..\" component leads outside " +
                             dest + ": error.BadPathName\n"
                             "error(bundle): failed to write " + c.refused + ": error.ExtractFailed\n");
        EXPECT_EQ(listTree(dest), c.tree);
        EXPECT_EQ(listTree(root.str()).size(), c.tree.size() + 1) << "something outside dest";
    }
}

TEST(ExtractArchive, NamesWithDotsThatStayInsideAreFine) {
    test::TempDir out;
    const Extracted e = extract(
        test::makeTarGz({test::fileEntry("..x", "1"), test::fileEntry("x..", "2"), test::fileEntry("...", "3")}),
        out.str());
    ASSERT_FALSE(e.result.error) << e.log;
    EXPECT_EQ(listTree(out.str()), (std::vector<std::string>{"F ...", "F ..x", "F x.."}));
}

// No symbolic link is created or followed: not one the archive tries to
// leave, not one already in the destination.
TEST(ExtractArchive, NoWriteGoesThroughALink) {
    struct Case {
        const char* name;
        std::vector<ArchiveEntry> entries;
        Error error;
        std::string log;
    };
    const Case cases[] = {
        {"archive link, then a file below it",
         {test::linkEntry("l", "{outside}"), test::fileEntry("l/x", "evil")}, Error::MakePath,
         "error(bundle): failed to create subdir for l/x: error.NotDir\n"},
        {"existing link as the file", {test::fileEntry("planted", "evil")}, Error::ExtractFailed,
         "error(bundle): failed to create {dest}/planted: error.SymLinkLoop\n"
         "error(bundle): failed to write planted: error.CreateFileFailed\n"},
        {"existing link as the parent", {test::fileEntry("planted_dir/x", "evil")}, Error::MakePath,
         "error(bundle): failed to create subdir for planted_dir/x: error.SymLinkLoop\n"},
        {"existing link deeper in the path", {test::fileEntry("planted_dir/sub/x", "evil")}, Error::MakePath,
         "error(bundle): failed to create subdir for planted_dir/sub/x: error.SymLinkLoop\n"},
        {"directory entry through a link, then a file",
         {test::dirEntry("planted_dir/new"), test::fileEntry("planted_dir/new/x", "evil")}, Error::MakePath,
         "error(bundle): failed to create subdir for planted_dir/new/x: error.SymLinkLoop\n"},
        {"dangling link", {test::fileEntry("dangling", "evil")}, Error::ExtractFailed,
         "error(bundle): failed to create {dest}/dangling: error.SymLinkLoop\n"
         "error(bundle): failed to write dangling: error.CreateFileFailed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir root;
        const std::string dest = root / "dest";
        const std::string outside = root / "outside";
        fs::create_directory(dest);
        fs::create_directory(outside);
        test::writeFile(outside + "/planted", "keep");
        fs::create_symlink(outside + "/planted", dest + "/planted");
        fs::create_symlink(outside, dest + "/planted_dir");
        fs::create_symlink(outside + "/nothing", dest + "/dangling");
        std::vector<ArchiveEntry> entries = c.entries;
        for (auto& entry : entries)
            if (entry.link == "{outside}") entry.link = outside;

        const Extracted e = extract(test::makeTarGz(entries), dest);
        ASSERT_TRUE(e.result.error);
        EXPECT_EQ(*e.result.error, c.error);
        std::string expected = c.log;
        if (const auto at = expected.find("{dest}"); at != std::string::npos) expected.replace(at, 6, dest);
        EXPECT_EQ(e.log, expected);
        EXPECT_EQ(listTree(outside), (std::vector<std::string>{"F planted"}));
        EXPECT_EQ(test::readFile(outside + "/planted"), "keep");
        EXPECT_FALSE(fs::exists(outside + "/nothing"));
    }
}

// A file size limit makes writes fail after the file was created: a write
// while the data streams in, or the final flush of the buffer.
TEST(ExtractArchive, WriteFailuresDuringCopyAndFlush) {
    struct Case {
        std::size_t size;
        std::string log;
    };
    const Case cases[] = {
        {6000,
         "error(bundle): failed to flush big: error.FileTooBig\n"
         "error(bundle): failed to write big: error.WriteFailed\n"},
        {40000,
         "error(bundle): failed to extract big: error.WriteFailed\n"
         "error(bundle): failed to write big: error.ExtractFailed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        test::TempDir out;
        const std::string archive = test::makeTarGz({test::fileEntry("big", std::string(c.size, 'b'))});
        test::StderrCapture capture;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4096, 4096};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const ExtractResult r = extractArchive(archive, out.str(), std::nullopt, std::nullopt);
            ::_exit(r.error == Error::ExtractFailed ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(capture.text(), c.log);
    }
}

}  // namespace
}  // namespace qs
