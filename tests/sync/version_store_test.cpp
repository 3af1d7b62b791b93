#include "sync/version_store.hpp"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/file_lock.hpp"
#include "support/archive.hpp"
#include "support/bundles.hpp"
#include "support/process.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "sync/apply_bundle.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;

Bundle versionedBundle(const std::string& target_dir, std::uint32_t keep) {
    Bundle b = test::bundleAt(target_dir);
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

// The start-up sweep, name by name: only names exactly in the forms the
// agent makes (staging directories, switch links, spools) whose process is
// gone, and temporary records while no other agent holds the lock. A
// payload's own files that look alike, an operator's notes, another
// running agent's work and the live tree stay.
TEST(RemoveLeftovers, OnlyExactFormsOfProcessesThatAreGone) {
    enum class Kind { directory, file, link };
    enum class Where { versioned, direct, raw_below };
    struct Case {
        std::string name;
        Kind kind;
        Where where;
        bool removed;
    };
    const std::string dead = std::to_string(test::deadProcessId());
    // The test runner that started this test: alive while it runs.
    const std::string alive = std::to_string(::getppid());
    const std::string own = std::to_string(::getpid());
    const std::string x64(64, 'x');
    const std::vector<Case> cases = {
        {".staging-1-" + dead, Kind::directory, Where::versioned, true},
        {".staging-1-" + dead + ".old", Kind::directory, Where::versioned, true},
        {".staging-7-1-" + dead, Kind::directory, Where::versioned, true},
        {".staging-" + x64 + "-" + dead, Kind::directory, Where::versioned, true},
        // An agent that had this process's ID before (a restart) is gone.
        {".staging-1-" + own, Kind::directory, Where::versioned, true},
        {"current.tmp-" + dead, Kind::link, Where::versioned, true},
        {".quillstead-spool-" + dead, Kind::file, Where::versioned, true},
        {".quillstead-spool-" + dead, Kind::file, Where::direct, true},
        {".quillstead-spool-" + dead, Kind::file, Where::raw_below, true},
        {".versions.tmp", Kind::file, Where::versioned, true},
        {".etag.tmp", Kind::file, Where::versioned, true},
        // Another agent's work in progress.
        {".staging-1-" + alive, Kind::directory, Where::versioned, false},
        {"current.tmp-" + alive, Kind::link, Where::versioned, false},
        {".quillstead-spool-" + alive, Kind::file, Where::direct, false},
        // Not exactly a form the agent makes.
        {".staging-notes", Kind::directory, Where::versioned, false},
        {".staging-" + dead, Kind::directory, Where::versioned, false},
        {".staging--" + dead, Kind::directory, Where::versioned, false},
        {".staging-" + x64 + "x-" + dead, Kind::directory, Where::versioned, false},
        {".staging-1-0" + dead, Kind::directory, Where::versioned, false},
        {".staging-1-" + dead + ".older", Kind::directory, Where::versioned, false},
        {".staging-1-" + dead + "x", Kind::directory, Where::versioned, false},
        {"current.tmp", Kind::link, Where::versioned, false},
        {"current.tmp-" + dead, Kind::directory, Where::versioned, false},
        {".spool-2024", Kind::file, Where::versioned, false},
        {".spool-2024", Kind::file, Where::direct, false},
        {".quillstead-spool-", Kind::file, Where::direct, false},
        {".quillstead-spool-" + dead + ".conf", Kind::file, Where::direct, false},
        {"staging-x", Kind::file, Where::versioned, false},
        {"x.staging-", Kind::file, Where::versioned, false},
        {".versions", Kind::file, Where::versioned, false},
        {".etag", Kind::file, Where::versioned, false},
        {"v1", Kind::directory, Where::versioned, false},
        // A direct install stages its payload under the same form.
        {".staging-1-" + dead, Kind::directory, Where::direct, true},
        {".staging-1-" + alive, Kind::directory, Where::direct, false},
        // Direct and raw targets hold the payload's own files under any name.
        {"current.tmp-" + dead, Kind::link, Where::direct, false},
        {".versions.tmp", Kind::file, Where::direct, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + (c.where == Where::direct ? " (direct)" : c.where == Where::raw_below ? " (raw)" : ""));
        test::TempDir t;
        Bundle bundle = versionedBundle(t.str(), 1);
        fs::path dir = t.str();
        if (c.where == Where::direct) bundle.mode = DeployMode::direct;
        if (c.where == Where::raw_below) {
            bundle.format = BundleFormat::raw;
            bundle.filename = "etc/app.conf";
            dir = t / "etc";
            fs::create_directory(dir);
        }
        switch (c.kind) {
        case Kind::directory:
            fs::create_directories(dir / c.name / "deep");
            test::writeFile(dir / c.name / "deep/f", "partial");
            break;
        case Kind::file: test::writeFile(dir / c.name, "partial"); break;
        case Kind::link: fs::create_symlink("v1", dir / c.name); break;
        }
        test::StderrCapture capture;
        removeLeftovers(bundle);
        const std::string path = (dir / c.name).string();
        EXPECT_EQ(capture.text(), c.removed ? "info(quillstead): [b] removed leftover " + path + "\n" : "");
        EXPECT_EQ(fs::exists(fs::symlink_status(path)), !c.removed);
    }
}

// The live tree is never a leftover, whatever its name; temporary records
// carry no process ID and stay while another agent holds the lock, since
// that agent may be writing them; names of agents that are gone go all
// the same.
TEST(RemoveLeftovers, SparesTheLiveTreeAndWhatALockHolderMayBeWriting) {
    test::TempDir t;
    const std::string dead = std::to_string(test::deadProcessId());
    const std::string live = ".staging-live-" + dead;
    fs::create_directory(t / live);
    fs::create_symlink(live, t / "current");
    fs::create_directory(t / (".staging-1-" + dead));
    test::writeFile(t / ".versions.tmp", "v1\n");
    {
        auto held = platform::FileLock::take(t / ".lock", platform::LockWait::fail_when_held);
        ASSERT_TRUE(held);
        test::StderrCapture capture;
        removeLeftovers(versionedBundle(t.str(), 1));
        EXPECT_EQ(capture.text(), "info(quillstead): [b] removed leftover " + (t / (".staging-1-" + dead)) + "\n");
    }
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{".lock", ".staging-live-" + dead, ".versions.tmp", "current"}));
    test::StderrCapture capture;
    removeLeftovers(versionedBundle(t.str(), 1));
    EXPECT_EQ(capture.text(), "info(quillstead): [b] removed leftover " + (t / ".versions.tmp") + "\n");
}

}  // namespace
}  // namespace qs
