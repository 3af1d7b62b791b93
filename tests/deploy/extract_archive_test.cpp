#include "deploy/extract_archive.hpp"

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdexcept>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/archive.hpp"
#include "support/as_user.hpp"
#include "support/process.hpp"
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
        // lexically: fs::relative would resolve a link to its target.
        out.push_back(kind + e.path().lexically_relative(root).string());
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

// Runs an archiver; "{out}" in the arguments stands for the archive it
// writes, which is returned.
std::string archiveBy(const std::string& program, std::vector<std::string> args, const std::string& cwd) {
    test::TempDir dir;
    const std::string out = dir / "out.tar.gz";
    for (auto& arg : args)
        if (arg == "{out}") arg = out;
    test::RunOptions options;
    options.args = std::move(args);
    options.working_dir = cwd;
    const test::ProcessResult r = test::runProcess(program, options);
    if (r.exit_status != 0) throw std::runtime_error(program + " failed: " + r.err);
    return test::readFile(out);
}

// Python's tarfile adding the named paths (recursively), in the given format.
constexpr const char* kTarfileAdd =
    "import sys, tarfile\n"
    "fmt = {'pax': tarfile.PAX_FORMAT, 'gnu': tarfile.GNU_FORMAT, 'ustar': tarfile.USTAR_FORMAT}[sys.argv[2]]\n"
    "with tarfile.open(sys.argv[1], 'w:gz', format=fmt) as t:\n"
    "    for p in sys.argv[3:]:\n"
    "        t.add(p)\n";

struct Archiver {
    const char* name;
    std::string program;
    std::vector<std::string> args;  // "{out}": the archive; paths follow
};

// Each real archiver, writing gzip tar in its own dialect: "./" prefixes,
// long names as GNU records, PAX records or a ustar prefix field, directory
// entries with their "/".
std::vector<Archiver> realArchivers() {
    return {
        {"GNU tar, gnu format", "/usr/bin/tar", {"--format=gnu", "-czf", "{out}"}},
        {"GNU tar, posix format", "/usr/bin/tar", {"--format=posix", "-czf", "{out}"}},
        {"GNU tar, ustar format", "/usr/bin/tar", {"--format=ustar", "-czf", "{out}"}},
        {"bsdtar, default format", "/usr/bin/bsdtar", {"-czf", "{out}"}},
        {"bsdtar, ustar format", "/usr/bin/bsdtar", {"--format=ustar", "-czf", "{out}"}},
        {"python tarfile, pax", "/usr/bin/python3", {"-c", kTarfileAdd, "{out}", "pax"}},
        {"python tarfile, gnu", "/usr/bin/python3", {"-c", kTarfileAdd, "{out}", "gnu"}},
    };
}

// A nested tree as real archivers write it, with the names as they list
// them (with and without "./"): every file arrives with its bytes and mode;
// a symbolic link arrives as an empty regular file.
TEST(ExtractArchive, RealArchiversNestedTrees) {
    test::TempDir source;
    // Components long enough that the deepest name exceeds the 100 bytes of
    // a plain header name, yet fits ustar's prefix field.
    const std::string deep = "deep/" + std::string(60, 'p') + "/" + std::string(50, 'q');
    fs::create_directories(source / "etc/app/conf.d");
    fs::create_directories(source / deep);
    fs::create_directories(source / "empty_dir/inner");
    std::string noise(70000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 11);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"etc/app/main.conf", "main\n"},
        {"etc/app/conf.d/10-x.conf", noise},
        {"etc/app/run.sh", "#!/bin/sh\n"},
        {"etc/app/secret", "s"},
        {"zero", ""},
        {deep + "/" + std::string(40, 'f') + ".txt", "deep"},
    };
    for (const auto& [name, data] : files) test::writeFile(source / name, data);
    fs::permissions(source / "etc/app/run.sh", fs::perms(0755));
    fs::permissions(source / "etc/app/secret", fs::perms(0600));
    fs::create_symlink("app/main.conf", source / "etc/link");

    // The archive's link stands as an empty plain file.
    std::vector<std::string> tree = listTree(source.str());
    std::replace(tree.begin(), tree.end(), std::string("L etc/link"), std::string("F etc/link"));
    std::sort(tree.begin(), tree.end());

    UmaskGuard mask(022);
    for (const auto& archiver : realArchivers()) {
        for (const std::vector<std::string>& roots :
             {std::vector<std::string>{"."}, std::vector<std::string>{"etc", "deep", "empty_dir", "zero"}}) {
            SCOPED_TRACE(std::string(archiver.name) + " of " + roots.front());
            std::vector<std::string> args = archiver.args;
            args.insert(args.end(), roots.begin(), roots.end());
            const std::string archive = archiveBy(archiver.program, args, source.str());

            test::TempDir out;
            const Extracted e = extract(archive, out.str());
            ASSERT_FALSE(e.result.error) << e.log;
            EXPECT_EQ(e.log, "");
            EXPECT_EQ(e.result.count, files.size() + 1);  // the files and the link
            EXPECT_EQ(listTree(out.str()), tree);
            for (const auto& [name, data] : files) EXPECT_EQ(test::readFile(out / name), data) << name;
            EXPECT_EQ(test::readFile(out / "etc/link"), "");
            EXPECT_EQ(modeOf(out / "etc/app/run.sh") & 07777, 0755u);
            EXPECT_EQ(modeOf(out / "etc/app/secret") & 07777, 0600u);
            EXPECT_EQ(modeOf(out / "etc/app/main.conf") & 07777, 0644u);
            // A link's 0777 never reaches the file it becomes.
            EXPECT_EQ(modeOf(out / "etc/link") & 07777, 0644u);
        }
    }
}

// Every real archiver stores the second name of a hard-linked file as a
// link entry; extraction stops there, after writing what came before.
TEST(ExtractArchive, RealArchiversHardLinkStopsAfterEarlierEntries) {
    test::TempDir source;
    test::writeFile(source / "first", "1");
    test::writeFile(source / "second", "2");
    fs::create_hard_link(source / "first", source / "linked");
    for (const auto& archiver : realArchivers()) {
        SCOPED_TRACE(archiver.name);
        std::vector<std::string> args = archiver.args;
        args.insert(args.end(), {"first", "second", "linked"});
        const std::string archive = archiveBy(archiver.program, args, source.str());

        test::TempDir out;
        const Extracted e = extract(archive, out.str());
        ASSERT_TRUE(e.result.error);
        EXPECT_EQ(*e.result.error, Error::TarParseFailed);
        EXPECT_EQ(e.log, "error(bundle): tar iteration error: error.TarUnsupportedHeader\n");
        EXPECT_EQ(listTree(out.str()), (std::vector<std::string>{"F first", "F second"}));
        EXPECT_EQ(test::readFile(out / "second"), "2");
    }
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

// As root, owners really change: numeric ids, names with their primary
// group, group alone. The archive's own uid, gid and times never apply, and
// directories keep the process's owner.
TEST(ExtractArchive, OwnersAndModesAsRoot) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "changing owners needs root";
    const passwd* nobody = ::getpwnam("nobody");
    const group* nogroup = ::getgrnam("nogroup");
    if (nobody == nullptr || nogroup == nullptr) GTEST_SKIP() << "no nobody/nogroup here";
    const uid_t nobody_uid = nobody->pw_uid;
    const gid_t nobody_gid = nobody->pw_gid;
    const gid_t nogroup_gid = nogroup->gr_gid;

    test::TempDir source;
    fs::create_directory(source / "d");
    test::writeFile(source / "d/f", "f");
    test::writeFile(source / "x", "x");
    fs::permissions(source / "d/f", fs::perms(0644));
    fs::permissions(source / "x", fs::perms(0755));
    fs::create_symlink("x", source / "l");
    const std::string archive =
        archiveBy("/usr/bin/tar",
                  {"--format=gnu", "--owner=4321", "--group=8765", "--mtime=@86400", "-czf", "{out}", "d", "x", "l"},
                  source.str());

    struct Case {
        const char* name;
        std::optional<std::string> owner;
        std::optional<std::uint32_t> extract_mode;
        uid_t uid;
        gid_t gid;
        mode_t f_mode, x_mode, l_mode;
        std::string log;
    };
    const Case cases[] = {
        {"no owner: the process's, not the archive's", std::nullopt, std::nullopt, 0, 0, 0644, 0755, 0644, ""},
        {"numeric user and group", "1001:1002", std::nullopt, 1001, 1002, 0644, 0755, 0600, ""},
        {"numeric user alone", "1001", std::nullopt, 1001, 0, 0644, 0755, 0600, ""},
        {"name: its primary group too", "nobody", std::nullopt, nobody_uid, nobody_gid, 0644, 0755, 0600, ""},
        {"name and group name", "nobody:nogroup", std::nullopt, nobody_uid, nogroup_gid, 0644, 0755, 0600, ""},
        {"user name only", "nobody:", std::nullopt, nobody_uid, 0, 0644, 0755, 0600, ""},
        {"group only", ":nogroup", std::nullopt, 0, nogroup_gid, 0644, 0755, 0600, ""},
        {"extract_mode for every file", "nobody", 04640, nobody_uid, nobody_gid, 0640, 0640, 0640, ""},
        {"unresolved: every file warns, keeps root, is still written", "no_such_user_qs", std::nullopt, 0, 0,
         0644, 0755, 0600,
         "warning(bundle): extract_owner 'no_such_user_qs' did not resolve (file d/f left with process owner)\n"
         "warning(bundle): extract_owner 'no_such_user_qs' did not resolve (file x left with process owner)\n"
         "warning(bundle): extract_owner 'no_such_user_qs' did not resolve (file l left with process owner)\n"},
    };
    UmaskGuard mask(022);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir out;
        const Extracted e = extract(archive, out.str(), c.owner, c.extract_mode);
        ASSERT_FALSE(e.result.error) << e.log;
        EXPECT_EQ(e.result.count, 3u);
        EXPECT_EQ(e.log, c.log);
        const std::pair<std::string, mode_t> expected[] = {{"d/f", c.f_mode}, {"x", c.x_mode}, {"l", c.l_mode}};
        for (const auto& [name, mode] : expected) {
            struct stat st {};
            ASSERT_EQ(::lstat((out / name).c_str(), &st), 0) << name;
            EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
            EXPECT_EQ(st.st_mode & 07777, mode) << name;
            EXPECT_EQ(st.st_uid, c.uid) << name;
            EXPECT_EQ(st.st_gid, c.gid) << name;
            EXPECT_NE(st.st_mtime, 86400) << name;
        }
        struct stat dir {};
        ASSERT_EQ(::lstat((out / "d").c_str(), &dir), 0);
        EXPECT_EQ(dir.st_uid, 0u);
        EXPECT_EQ(dir.st_gid, 0u);
        EXPECT_EQ(dir.st_mode & 07777, 0755u);
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
        {{test::fileEntry("./../x", "evil")}, "./../x", {}},
        {{test::fileEntry("a//..//x", "evil")}, "a//..//x", {}},
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
        std::optional<Error> error;  // nothing: extracted, the link replaced
        std::string log;
    };
    const Case cases[] = {
        {"archive link, then a file below it",
         {test::linkEntry("l", "{outside}"), test::fileEntry("l/x", "evil")}, Error::MakePath,
         "error(bundle): failed to create subdir for l/x: error.NotDir\n"},
        // A link where a file goes is replaced by the file, never written through.
        {"existing link as the file", {test::fileEntry("planted", "new")}, std::nullopt, ""},
        {"existing link as the parent", {test::fileEntry("planted_dir/x", "evil")}, Error::MakePath,
         "error(bundle): failed to create subdir for planted_dir/x: error.SymLinkLoop\n"},
        {"existing link deeper in the path", {test::fileEntry("planted_dir/sub/x", "evil")}, Error::MakePath,
         "error(bundle): failed to create subdir for planted_dir/sub/x: error.SymLinkLoop\n"},
        {"directory entry through a link, then a file",
         {test::dirEntry("planted_dir/new"), test::fileEntry("planted_dir/new/x", "evil")}, Error::MakePath,
         "error(bundle): failed to create subdir for planted_dir/new/x: error.SymLinkLoop\n"},
        {"dangling link", {test::fileEntry("dangling", "new")}, std::nullopt, ""},
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
        EXPECT_EQ(e.result.error, c.error);
        if (!c.error) {
            const std::string name = entries.front().name;
            EXPECT_FALSE(fs::is_symlink(dest + "/" + name));
            EXPECT_EQ(test::readFile(dest + "/" + name), "new");
        }
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
        {200000,
         "error(bundle): failed to extract big: error.FileTooBig\n"
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
