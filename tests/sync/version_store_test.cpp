#include "sync/version_store.hpp"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/archive.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "sync/apply_bundle.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;

Bundle versionedBundle(const std::string& target_dir, std::uint32_t keep) {
    Bundle b;
    b.name = "b";
    b.target_dir = target_dir;
    if (keep != 1) b.options.keep_versions = keep;
    return b;
}

std::string payload(const std::string& tag) {
    static std::map<std::string, std::string> made;
    auto [it, fresh] = made.try_emplace(tag);
    if (fresh) it->second = test::makeTarGz({test::fileEntry("README", tag)});
    return it->second;
}

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string linkTarget(const std::string& path) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(path, ec);
    return ec ? std::string("<no link>") : target.string();
}

std::string install(const Bundle& bundle, const std::string& version) {
    test::StderrCapture capture;
    EXPECT_TRUE(applyBundle(bundle, version, payload(version))) << capture.text();
    return capture.text();
}

std::vector<std::string> listed(const Bundle& bundle) {
    std::vector<std::string> lines;
    for (const auto& v : listVersions(bundle)) lines.push_back((v.live ? "* " : "  ") + v.name);
    return lines;
}

// keep_versions counts the versions switched to, newest first; the record
// exists only while more than one is kept.
TEST(KeepVersions, KeepsTheNewestAndRemovesTheRestOldestFirst) {
    struct Case {
        std::uint32_t keep;
        std::vector<std::string> entries;
        std::string record;  // "" : no record
        std::vector<std::string> listed;
    };
    const Case cases[] = {
        {1, {"current", "v5"}, "", {"* 5"}},
        {3, {".versions", "current", "v3", "v4", "v5"}, "v3\nv4\nv5\n", {"* 5", "  4", "  3"}},
        {9, {".versions", "current", "v1", "v2", "v3", "v4", "v5"}, "v1\nv2\nv3\nv4\nv5\n",
         {"* 5", "  4", "  3", "  2", "  1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keep);
        test::TempDir t;
        const Bundle bundle = versionedBundle(t.str(), c.keep);
        std::string log;
        for (const char* v : {"1", "2", "3", "4", "5"}) log += install(bundle, v);
        EXPECT_EQ(entriesOf(t.str()), c.entries);
        EXPECT_EQ(linkTarget(t / "current"), "v5");
        if (c.record.empty()) {
            EXPECT_FALSE(fs::exists(t / ".versions"));
        } else {
            EXPECT_EQ(test::readFile(t / ".versions"), c.record);
        }
        EXPECT_EQ(listed(bundle), c.listed);
        // Each removal is logged as the previous version's always was.
        const std::size_t removed = 5 - std::min<std::size_t>(5, c.keep);
        std::size_t lines = 0;
        for (auto at = log.find("info(bundle): removed old dir: v"); at != std::string::npos;
             at = log.find("info(bundle): removed old dir: v", at + 1))
            ++lines;
        EXPECT_EQ(lines, removed) << log;
    }
}

// Version names come from ETags and may end in blanks or hold a tab: the
// record keeps them byte for byte, so such versions are matched and removed
// in their turn like any other (a trimmed name matched nothing, and the
// versions piled up past keep_versions).
TEST(KeepVersions, NamesWithBlanksAreRecordedAndRemovedByteForByte) {
    test::TempDir t;
    const Bundle bundle = versionedBundle(t.str(), 2);
    for (const char* v : {"a ", " b", "c\t", "d \r"}) install(bundle, v);
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{".versions", "current", "vc\t", "vd \r"}));
    EXPECT_EQ(test::readFile(t / ".versions"), "vc\t\nvd \r\n");
    EXPECT_EQ(listed(bundle), (std::vector<std::string>{"* d \r", "  c\t"}));
}

// Lowering keep_versions to 1 goes back to exactly what the default keeps.
TEST(KeepVersions, LoweringToOneRemovesTheRecordAndTheKeptVersions) {
    test::TempDir t;
    for (const char* v : {"1", "2", "3"}) (void)install(versionedBundle(t.str(), 3), v);
    (void)install(versionedBundle(t.str(), 1), "4");
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"current", "v4"}));
}

TEST(Rollback, WithAndWithoutAVersion) {
    test::TempDir t;
    const Bundle bundle = versionedBundle(t.str(), 3);
    for (const char* v : {"a", "b", "c"}) (void)install(bundle, v);
    const std::string record = test::readFile(t / ".versions");
    struct Step {
        std::optional<std::string> version;
        std::string live_after;  // "" : fails
        std::string log;
    };
    const Step steps[] = {
        {std::nullopt, "vb", ""},
        {std::nullopt, "va", ""},
        {std::nullopt, "", "error(quillstead): [b] nothing to roll back to\n"},
        {"c", "vc", ""},
        {"zzz", "", "error(quillstead): [b] no version zzz in " + t.str() + "\n"},
        {"../c", "", "error(quillstead): [b] no version ../c in " + t.str() + "\n"},
        {std::nullopt, "vb", ""},
    };
    std::string live = "vc";
    for (const auto& s : steps) {
        SCOPED_TRACE(s.version.value_or("(none)") + " from " + live);
        test::StderrCapture capture;
        const auto r = rollbackVersion(bundle, s.version);
        EXPECT_EQ(capture.text(), s.log);
        if (s.live_after.empty()) {
            EXPECT_FALSE(r);
        } else {
            ASSERT_TRUE(r);
            EXPECT_EQ(r->from, live);
            EXPECT_EQ(r->to, s.live_after);
            live = s.live_after;
        }
        EXPECT_EQ(linkTarget(t / "current"), live);
    }
    // A rollback is not an install: the order of switches and every kept
    // version stay.
    EXPECT_EQ(test::readFile(t / ".versions"), record);
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{".versions", "current", "va", "vb", "vc"}));
    EXPECT_EQ(listed(bundle), (std::vector<std::string>{"  c", "* b", "  a"}));

    // The next install counts from the live version: it keeps it, and the
    // oldest goes.
    (void)install(bundle, "d");
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{".versions", "current", "vb", "vc", "vd"}));
}

// The record is a file anyone may edit: a line is used only when it names a
// real version directory of target_dir.
TEST(KeepVersions, HostileRecordLinesReachNothingOutsideTheVersionDirectories) {
    test::TempDir root;
    const std::string t = root / "t";
    fs::create_directories(t);
    fs::create_directories(root / "victim");
    test::writeFile(root / "victim/keep", "");
    fs::create_directory(t + "/notaversion");
    fs::create_directory_symlink(root / "victim", t + "/vlink");
    const Bundle bundle = versionedBundle(t, 2);
    (void)install(bundle, "1");
    test::writeFile(t + "/.versions", "/etc\n../victim\nv/../../victim\nvlink\nnotaversion\n.\n..\n"
                                      "current\nv\n" + root.str() + "/victim\nv1\n");
    {
        test::StderrCapture capture;
        EXPECT_FALSE(rollbackVersion(bundle, std::nullopt));
        EXPECT_EQ(capture.text(), "error(quillstead): [b] nothing to roll back to\n");
    }
    for (const char* version : {"link", "/../victim", "../t/v1/.."}) {
        test::StderrCapture capture;
        EXPECT_FALSE(rollbackVersion(bundle, std::string(version))) << version;
    }
    for (const char* v : {"2", "3", "4"}) (void)install(bundle, v);
    EXPECT_TRUE(fs::exists(root / "victim/keep"));
    EXPECT_TRUE(fs::is_symlink(t + "/vlink"));
    EXPECT_TRUE(fs::is_directory(t + "/notaversion"));
    EXPECT_EQ(test::readFile(t + "/.versions"), "v3\nv4\n");
    EXPECT_EQ(entriesOf(t), (std::vector<std::string>{".versions", "current", "notaversion", "v3",
                                                       "v4", "vlink"}));
}

// What an install killed midway leaves goes at the next start; nothing
// else in target_dir is touched.
TEST(RemoveLeftovers, RemovesOnlyWhatAKilledInstallLeaves) {
    test::TempDir t;
    const std::string staging = stagingName("1", 4242);
    EXPECT_EQ(staging, ".staging-1-4242");
    EXPECT_EQ(stagingName(std::string(300, 'x'), 7), ".staging-" + std::string(64, 'x') + "-7");
    fs::create_directories(t / (staging + "/deep/er"));
    test::writeFile(t / (staging + "/deep/er/f"), "partial");
    fs::create_directory(t / (staging + ".old"));
    fs::create_directory(t / ".staging-live-1");
    fs::create_symlink(".staging-live-1", t / "current");
    fs::create_symlink("v1", t / "current.tmp");
    test::writeFile(t / ".versions.tmp", "v1\n");
    for (const char* other : {"v1", "staging-x", "x.staging-", ".stagingx", ".versions", ".etag"}) {
        test::writeFile(t / other, "");
    }
    test::StderrCapture capture;
    removeLeftovers(versionedBundle(t.str(), 1));
    std::vector<std::string> lines;
    for (const auto& name : {staging, staging + ".old", std::string("current.tmp"),
                             std::string(".versions.tmp")}) {
        lines.push_back("info(quillstead): [b] removed leftover " + (t / name));
    }
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> logged;
    std::string text = capture.text();
    for (std::size_t at; (at = text.find('\n')) != std::string::npos; text.erase(0, at + 1))
        logged.push_back(text.substr(0, at));
    std::sort(logged.begin(), logged.end());
    EXPECT_EQ(logged, lines);
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{".etag", ".staging-live-1", ".stagingx",
                                                             ".versions", "current", "staging-x",
                                                             "v1", "x.staging-"}));

    // A current.tmp that is not a link is not the switch's, and direct or
    // raw bundles hold the archive's own files under any name.
    fs::create_directory(t / "current.tmp");
    fs::create_directory(t / staging);
    Bundle direct = versionedBundle(t.str(), 1);
    direct.mode = DeployMode::direct;
    test::StderrCapture quiet;
    removeLeftovers(direct);
    EXPECT_TRUE(fs::is_directory(t / staging));
    removeLeftovers(versionedBundle(t.str(), 1));
    EXPECT_TRUE(fs::is_directory(t / "current.tmp"));
    EXPECT_FALSE(fs::exists(t / staging));
}

// A payload spooled when the agent was killed goes at the next start in
// every mode, also beside a raw file below target_dir; a file of the
// payload's own that only starts like a spool stays.
TEST(RemoveLeftovers, SpoolsGoInEveryMode) {
    struct Case {
        const char* name;
        DeployMode mode;
        std::optional<std::string> filename;  // raw when set
        std::string spool_dir;                // below target_dir
    };
    const Case cases[] = {
        {"versioned", DeployMode::versioned, std::nullopt, ""},
        {"direct", DeployMode::direct, std::nullopt, ""},
        {"raw below target_dir", DeployMode::versioned, "etc/app.conf", "etc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir t;
        const fs::path dir = c.spool_dir.empty() ? fs::path(t.str()) : fs::path(t / c.spool_dir);
        fs::create_directories(dir);
        test::writeFile(dir / ".spool-4242", "partial");
        for (const char* kept : {".spool-notes", ".spool-", ".spool-12x", "spool-1"}) {
            test::writeFile(dir / kept, "payload's own");
        }
        Bundle bundle = versionedBundle(t.str(), 1);
        bundle.mode = c.mode;
        if (c.filename) {
            bundle.format = BundleFormat::raw;
            bundle.filename = c.filename;
        }
        test::StderrCapture capture;
        removeLeftovers(bundle);
        EXPECT_EQ(capture.text(), "info(quillstead): [b] removed leftover " +
                                      (dir / ".spool-4242").string() + "\n");
        EXPECT_EQ(entriesOf(dir.string()),
                  (std::vector<std::string>{".spool-", ".spool-12x", ".spool-notes", "spool-1"}));
    }
}

}  // namespace
}  // namespace qs
