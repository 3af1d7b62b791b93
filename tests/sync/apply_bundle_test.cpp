#include "sync/apply_bundle.hpp"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <gtest/gtest.h>
#include <random>
#include <sched.h>
#include <string>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/archive.hpp"
#include "support/bundles.hpp"
#include "support/process.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "sync/version.hpp"
#include "sync/version_store.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;

struct Applied {
    Result<void> result;
    std::string log;
};

Applied apply(const Bundle& bundle, std::string_view version, const std::string& body) {
    test::StderrCapture capture;
    Result<void> r = applyBundle(bundle, version, body);
    return {r, capture.text()};
}

// A small tree whose contents name the version, so a test can tell which
// payload a directory holds and whether it is whole.
std::string payload(const std::string& tag) {
    // Written once per tag: running the archive writer is the slow part.
    static std::map<std::string, std::string> made;
    auto [it, fresh] = made.try_emplace(tag);
    if (fresh) {
        it->second = test::makeTarGz({test::dirEntry("conf"),
                                      test::fileEntry("conf/app.conf", "app " + tag),
                                      test::fileEntry("README", tag)});
    }
    return it->second;
}

bool holdsPayload(const std::string& dir, const std::string& tag) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec) || fs::is_symlink(dir, ec)) return false;
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(dir)) ++entries;
    return entries == 3 && test::readFile(dir + "/README") == tag &&
           test::readFile(dir + "/conf/app.conf") == "app " + tag;
}

std::string linkTarget(const std::string& path) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(path, ec);
    return ec ? std::string("<no link>") : target.string();
}

// The names in `dir`, sorted; the agent's lock file holds nothing installed.
std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().filename() != ".lock") names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The name this process switches `current` through.
std::string ownCurrentTmp() { return "current.tmp-" + std::to_string(::getpid()); }

// Runs `body` in a child process (its log lines go to the parent's captured
// standard error) and returns its exit status; 77 means "cannot set up".
int inChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(EnsureTargetDir, CreatesOneLevelAndAcceptsWhatExists) {
    test::TempDir root;
    test::writeFile(root / "file", "x");
    fs::create_directory(root / "dir");
    struct Case {
        std::string target_dir;
        bool ok;
        std::string log;
    };
    const Case cases[] = {
        {root / "new", true, ""},
        {root / "dir", true, ""},
        {root / "file", true, ""},  // any existing entry passes
        {root / "missing/new", false,
         "error(quillstead): [b] failed to create target_dir " + (root / "missing/new") +
             ": error.FileNotFound\n"},
        {root / "file/new", false,
         "error(quillstead): [b] failed to create target_dir " + (root / "file/new") +
             ": error.NotDir\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target_dir);
        test::StderrCapture capture;
        const auto r = ensureTargetDir(test::bundleAt(c.target_dir));
        EXPECT_EQ(r.has_value(), c.ok);
        EXPECT_EQ(capture.text(), c.log);
    }
    EXPECT_TRUE(fs::is_directory(root / "new"));
}

TEST(ApplyVersioned, NewVersionReplacesTheOldOne) {
    test::TempDir t;
    const Bundle bundle = test::bundleAt(t.str());
    ASSERT_TRUE(apply(bundle, "red", payload("red")).result);
    EXPECT_EQ(linkTarget(t / "current"), "vred");

    const Applied a = apply(bundle, *deriveVersion("\"vblue\""), payload("blue"));
    ASSERT_TRUE(a.result) << a.log;
    EXPECT_EQ(a.log, "info(bundle): extracted 2 file(s) to " + t.str() + "/vblue\n"
                     "info(bundle): current -> vblue\n"
                     "info(bundle): removed old dir: vred\n");
    EXPECT_EQ(linkTarget(t / "current"), "vblue");
    EXPECT_TRUE(holdsPayload(t / "vblue", "blue"));
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"current", "vblue"}));
}

TEST(ApplyVersioned, SameNameReinstallsOverTheLiveVersionAndNeverRemovesIt) {
    test::TempDir t;
    const Bundle bundle = test::bundleAt(t.str());
    ASSERT_TRUE(apply(bundle, "red", payload("one")).result);

    // A reader holding a live file open keeps reading the old bytes: the
    // live files are replaced by new ones, never written.
    const int held = ::open((t / "current/README").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    Applied a = apply(bundle, *deriveVersion("W/\"red\""), payload("two"));
    ASSERT_TRUE(a.result) << a.log;
    EXPECT_EQ(a.log, "info(bundle): extracted 2 file(s) to " + t.str() + "/vred\n"
                     "info(bundle): current -> vred\n");
    EXPECT_TRUE(holdsPayload(t / "vred", "two"));
    char old_bytes[16] = {};
    EXPECT_EQ(::pread(held, old_bytes, sizeof old_bytes, 0), 3);
    EXPECT_EQ(std::string(old_bytes), "one");
    ::close(held);
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"current", "vred"}));

    // A broken payload under the live name fails without touching the live
    // directory or the link.
    a = apply(bundle, "red", test::makeTar({test::fileEntry("x", "1")}));
    ASSERT_FALSE(a.result);
    EXPECT_EQ(a.result.error(), Error::TarParseFailed);
    EXPECT_TRUE(holdsPayload(t / "vred", "two"));
    EXPECT_EQ(linkTarget(t / "current"), "vred");

    // The same-name switch exchanges the two trees in one step and needs no
    // temporary link, so a directory squatting that name does not stop it.
    fs::create_directory(t / ownCurrentTmp());
    test::writeFile(t / (ownCurrentTmp() + "/keep"), "");
    a = apply(bundle, "red", payload("three"));
    ASSERT_TRUE(a.result) << a.log;
    EXPECT_TRUE(holdsPayload(t / "vred", "three"));
    EXPECT_EQ(linkTarget(t / "current"), "vred");
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"current", ownCurrentTmp(), "vred"}));
}

// A version directory that exists but is not live is replaced whole, not
// extracted into: nothing of the old tree survives beside the new one.
TEST(ApplyVersioned, ExistingVersionThatIsNotLiveIsReplaced) {
    test::TempDir t;
    const Bundle bundle = test::bundleAt(t.str());
    ASSERT_TRUE(apply(bundle, "old", payload("old")).result);
    fs::create_directories(t / "vnew/conf");
    test::writeFile(t / "vnew/stale", "from an earlier run");
    const Applied a = apply(bundle, "new", payload("new"));
    ASSERT_TRUE(a.result) << a.log;
    EXPECT_TRUE(holdsPayload(t / "vnew", "new"));
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"current", "vnew"}));
}

// Each failure row a real file system produces: lines, result, what is left.
TEST(ApplyVersioned, FailuresLeaveCurrentAlone) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> prepare;
        std::string body;
        Error error;
        std::string log;  // {t} stands for target_dir
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {"broken archive", nullptr, test::makeTar({test::fileEntry("x", "1")}), Error::TarParseFailed,
         "error(bundle): tar iteration error: error.ReadFailed\n", {"current", "vold"}},
        {"archive failing midway", nullptr,
         test::makeTarGz({test::fileEntry("a", "1"), test::fileEntry("b/c/d", "2")}), Error::MakePath,
         "error(bundle): failed to create subdir for b/c/d: error.FileNotFound\n", {"current", "vold"}},
        {"directory named current",
         [](const std::string& t) {
             fs::remove(t + "/current");
             fs::create_directory(t + "/current");
             test::writeFile(t + "/current/keep", "");
         },
         payload("new"), Error::IsDir,
         "info(bundle): extracted 2 file(s) to {t}/vnew\n"
         "error(bundle): rename({t}/{tmp}, {t}/current) failed: error.IsDir\n"
         "error(bundle): symlink swap failed: error.IsDir\n",
         {"current", "vold"}},
        {"the temporary link's name a directory with contents",
         [](const std::string& t) {
             fs::create_directory(t + "/" + ownCurrentTmp());
             test::writeFile(t + "/" + ownCurrentTmp() + "/keep", "");
         },
         payload("new"), Error::PathAlreadyExists,
         "info(bundle): extracted 2 file(s) to {t}/vnew\n"
         "error(bundle): symlink(vnew, {t}/{tmp}) failed: error.PathAlreadyExists\n"
         "error(bundle): symlink swap failed: error.PathAlreadyExists\n",
         {"current", ownCurrentTmp(), "vold"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir t;
        const Bundle bundle = test::bundleAt(t.str());
        ASSERT_TRUE(apply(bundle, "old", payload("old")).result);
        if (c.prepare) c.prepare(t.str());
        const Applied a = apply(bundle, "new", c.body);
        ASSERT_FALSE(a.result);
        EXPECT_EQ(a.result.error(), c.error);
        EXPECT_EQ(a.log, replaceAll(replaceAll(c.log, "{t}", t.str()), "{tmp}", ownCurrentTmp()));
        EXPECT_EQ(entriesOf(t.str()), c.left);
        EXPECT_TRUE(holdsPayload(t / "vold", "old"));
        if (fs::is_symlink(t / "current")) {
            EXPECT_EQ(linkTarget(t / "current"), "vold");
        }
    }
}

TEST(ApplyVersioned, TargetDirThatIsAFileFailsAtTheStagingDir) {
    test::TempDir root;
    test::writeFile(root / "t", "x");
    const Applied a = apply(test::bundleAt(root / "t"), "1", payload("1"));
    ASSERT_FALSE(a.result);
    EXPECT_EQ(a.result.error(), Error::MakePath);
    EXPECT_EQ(a.log, "error(bundle): failed to create staging dir " + (root / "t") + "/v1: error.NotDir\n");
}

TEST(ApplyVersioned, LeftoverCurrentTmpIsReplaced) {
    for (const bool as_link : {true, false}) {
        test::TempDir t;
        if (as_link) {
            fs::create_symlink("/etc", t / ownCurrentTmp());
        } else {
            test::writeFile(t / ownCurrentTmp(), "stale");
        }
        const Applied a = apply(test::bundleAt(t.str()), "1", payload("1"));
        ASSERT_TRUE(a.result) << a.log;
        EXPECT_EQ(linkTarget(t / "current"), "v1");
        EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"current", "v1"}));
    }
}

TEST(ApplyVersioned, CurrentAsPlainFileOrMissingMeansNoOldVersion) {
    test::TempDir t;
    fs::create_directory(t / "vother");
    test::writeFile(t / "current", "not a link");
    const Applied a = apply(test::bundleAt(t.str()), "1", payload("1"));
    ASSERT_TRUE(a.result) << a.log;
    EXPECT_EQ(linkTarget(t / "current"), "v1");
    EXPECT_TRUE(fs::is_directory(t / "vother"));
}

// A hand-made `current` may point anywhere; only a plain name in target_dir
// is ever removed as the old version.
TEST(ApplyVersioned, OldTargetsOutsideTargetDirAreNeverRemoved) {
    const std::string cases[] = {"../victim", "{root}/victim", "sub/victim", ".", "..", "current",
                                 "current.tmp-1", ""};
    for (const auto& old_text : cases) {
        SCOPED_TRACE(old_text);
        test::TempDir root;
        const std::string t = root / "t";
        fs::create_directories(t + "/sub/victim");
        fs::create_directory(root / "victim");
        test::writeFile(root / "victim/keep", "");
        test::writeFile(t + "/sub/victim/keep", "");
        const std::string old_target = replaceAll(old_text, "{root}", root.str());
        if (old_target.empty()) {
            continue;  // the system refuses an empty link target
        }
        fs::create_symlink(old_target, t + "/current");
        const Applied a = apply(test::bundleAt(t), "1", payload("1"));
        ASSERT_TRUE(a.result) << a.log;
        EXPECT_EQ(a.log, "info(bundle): extracted 2 file(s) to " + t + "/v1\n"
                         "info(bundle): current -> v1\n"
                         "warning(bundle): not removing old dir " + old_target +
                             ": not a directory name in target_dir\n");
        EXPECT_TRUE(fs::exists(root / "victim/keep"));
        EXPECT_TRUE(fs::exists(t + "/sub/victim/keep"));
        EXPECT_EQ(linkTarget(t + "/current"), "v1");
        EXPECT_TRUE(holdsPayload(t + "/v1", "1"));
    }
}

// The server's ETag decides the version name; nothing outside target_dir
// is created, switched to or removed because of it.
TEST(ApplyVersioned, HostileEtagsStayDirectChildren) {
    struct Case {
        std::string etag;
        bool installs;
        std::string directory;
    };
    const Case cases[] = {
        {"\"../../escape\"", true, "v..%2F..%2Fescape"},
        {"\"/abs\"", true, "v%2Fabs"},
        {"\"..\"", true, "v.."},
        {"\".\"", true, "v."},
        {std::string("\"a\0b\"", 5), true, "va%00b"},
        {"\"" + std::string(300, 'x') + "\"", false, ""},  // longer than a file name may be
        {"\"" + std::string(1100, 'y') + "\"", false, ""},  // longer than a path may be
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.etag.substr(0, 40));
        test::TempDir root;
        const std::string t = root / "deep/t";
        fs::create_directories(t);
        const Bundle bundle = test::bundleAt(t);
        ASSERT_TRUE(apply(bundle, "old", payload("old")).result);
        const auto version = deriveVersion(c.etag);
        ASSERT_TRUE(version);
        const Applied a = apply(bundle, *version, payload("new"));
        EXPECT_EQ(a.result.has_value(), c.installs) << a.log;
        if (c.installs) {
            EXPECT_EQ(linkTarget(t + "/current"), c.directory);
            EXPECT_TRUE(holdsPayload(t + "/" + c.directory, "new"));
            EXPECT_EQ(entriesOf(t), (std::vector<std::string>{"current", c.directory}));
        } else {
            EXPECT_EQ(a.result.error(), Error::MakePath);
            EXPECT_EQ(linkTarget(t + "/current"), "vold");
            EXPECT_EQ(entriesOf(t), (std::vector<std::string>{"current", "vold"}));
        }
        EXPECT_EQ(entriesOf(root.str()), (std::vector<std::string>{"deep"}));
        EXPECT_EQ(entriesOf(root / "deep"), (std::vector<std::string>{"t"}));
    }
}

TEST(ApplyVersioned, VersionNamesThatAreNotOneEntryAreRefused) {
    test::TempDir root;
    const std::string t = root / "t";
    fs::create_directory(t);
    const Applied a = apply(test::bundleAt(t), "/../../x", payload("x"));
    ASSERT_FALSE(a.result);
    EXPECT_EQ(a.result.error(), Error::MakePath);
    EXPECT_EQ(a.log,
              "error(bundle): failed to create staging dir " + t + "/v/../../x: error.BadPathName\n");
    EXPECT_EQ(entriesOf(root.str()), (std::vector<std::string>{"t"}));
}

// A link where the version directory should be would lead the extraction
// elsewhere.
TEST(ApplyVersioned, ExistingLinkNamedLikeTheVersionIsNotExtractedInto) {
    test::TempDir root;
    const std::string t = root / "t";
    fs::create_directories(t);
    fs::create_directory(root / "elsewhere");
    fs::create_symlink(root / "elsewhere", t + "/v1");
    const Applied a = apply(test::bundleAt(t), "1", payload("1"));
    ASSERT_FALSE(a.result);
    EXPECT_EQ(a.result.error(), Error::MakePath);
    EXPECT_EQ(a.log, "error(bundle): failed to create staging dir " + t + "/v1: error.SymLinkLoop\n");
    EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
}

// Two bundles sharing a target_dir: a failure of one never removes the
// version the other installed, and a version `current` names is never
// removed as "old".
TEST(ApplyVersioned, SharedTargetDirKeepsTheOtherBundlesVersion) {
    test::TempDir t;
    Bundle a = test::bundleAt(t.str());
    Bundle b = test::bundleAt(t.str());
    b.name = "other";
    ASSERT_TRUE(apply(a, "1", payload("a1")).result);

    // b's payload maps to the same name and is broken: a's live v1 stays.
    Applied r = apply(b, "1", test::makeTar({test::fileEntry("x", "1")}));
    ASSERT_FALSE(r.result);
    EXPECT_TRUE(holdsPayload(t / "v1", "a1"));
    EXPECT_EQ(linkTarget(t / "current"), "v1");

    // b's v2 exists already when a fails on the same name: b's stays too.
    ASSERT_TRUE(apply(b, "2", payload("b2")).result);
    fs::create_directory(t / "v3");
    test::writeFile(t / "v3/README", "b's staging");
    r = apply(a, "3", test::makeTar({}));
    ASSERT_FALSE(r.result);
    EXPECT_EQ(test::readFile(t / "v3/README"), "b's staging");

    // A hook that points `current` back at the previous version keeps it.
    Bundle hooked = test::bundleAt(t.str());
    hooked.post_sync = "ln -sfn v2 '" + t.str() + "/current'";
    r = apply(hooked, "4", payload("4"));
    ASSERT_TRUE(r.result) << r.log;
    EXPECT_NE(r.log.find("warning(bundle): not removing old dir v2: current links to it\n"),
              std::string::npos)
        << r.log;
    EXPECT_TRUE(holdsPayload(t / "v2", "b2"));
}

TEST(ApplyVersioned, OldVersionThatCannotBeRemovedIsOnlyAWarning) {
    test::TempDir t;
    const Bundle bundle = test::bundleAt(t.str());
    ASSERT_TRUE(apply(bundle, "red", payload("red")).result);
    test::RunOptions options;
    options.args = {"+i", t / "vred/README"};
    if (test::runProcess("/usr/bin/chattr", options).exit_status != 0)
        GTEST_SKIP() << "no immutable flag on this file system";
    const Applied a = apply(bundle, "blue", payload("blue"));
    options.args = {"-i", t / "vred/README"};
    (void)test::runProcess("/usr/bin/chattr", options);
    ASSERT_TRUE(a.result) << a.log;
    EXPECT_EQ(a.log, "info(bundle): extracted 2 file(s) to " + t.str() + "/vblue\n"
                     "info(bundle): current -> vblue\n"
                     "warning(bundle): failed to remove old dir vred: error.PermissionDenied\n");
    EXPECT_EQ(linkTarget(t / "current"), "vblue");
}

TEST(SwitchCurrent, PathLimits) {
    test::TempDir t;
    {
        test::StderrCapture capture;
        const auto r = switchCurrent(std::string(4090, 'x'), "v1");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), Error::NoSpaceLeft);
        EXPECT_EQ(capture.text(), "");
    }
    {
        test::StderrCapture capture;
        const std::string link(1024, 'v');
        const auto r = switchCurrent(t.str(), link);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), Error::NameTooLong);
        EXPECT_EQ(capture.text(), "error(bundle): symlink(" + link + ", " + t.str() + "/" +
                                      ownCurrentTmp() + ") failed: error.NameTooLong\n");
    }
}

TEST(ApplyRaw, WritesOneFileWhateverTheMode) {
    test::TempDir t;
    Bundle bundle = test::bundleAt(t.str(), DeployMode::versioned, BundleFormat::raw);
    bundle.filename = "app.bin";
    const std::string body("raw\0bytes", 9);
    const Applied a = apply(bundle, "1", body);
    ASSERT_TRUE(a.result) << a.log;
    EXPECT_EQ(a.log, "info(bundle): wrote 9 bytes to " + t.str() + "/app.bin (raw)\n");
    EXPECT_EQ(test::readFile(t / "app.bin"), body);
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"app.bin"}));
}

TEST(ApplyRaw, Failures) {
    test::TempDir t;
    fs::create_directory(t / "sub-dir");
    struct Case {
        const char* name;
        std::string target_dir;
        std::optional<std::string> filename;
        Error error;
        std::string log;
    };
    const Case cases[] = {
        {"no filename", t.str(), std::nullopt, Error::ConfigError,
         "error(bundle): format=raw requires a 'filename' config field\n"},
        {"parent not created", t.str(), "sub/f", Error::CreateFileFailed,
         "error(bundle): failed to create " + t.str() + "/sub/f: error.FileNotFound\n"},
        {"path is a directory", t.str(), "", Error::CreateFileFailed,
         "error(bundle): failed to create " + t.str() + "/: error.IsDir\n"},
        {"name of a directory", t.str(), "sub-dir", Error::CreateFileFailed,
         "error(bundle): failed to create " + t.str() + "/sub-dir: error.IsDir\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bundle bundle = test::bundleAt(c.target_dir, DeployMode::direct, BundleFormat::raw);
        bundle.filename = c.filename;
        const Applied a = apply(bundle, "1", "body");
        ASSERT_FALSE(a.result);
        EXPECT_EQ(a.result.error(), c.error);
        EXPECT_EQ(a.log, c.log);
    }
}

// A write that fails (here the file size limit) leaves the old file and no
// temporary beside it.
TEST(ApplyRaw, FailedWriteKeepsTheOldFile) {
    test::TempDir t;
    test::writeFile(t / "f", "before");
    test::StderrCapture capture;
    const int status = inChild([&]() {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{.rlim_cur = 1024, .rlim_max = RLIM_INFINITY};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
        Bundle raw = test::bundleAt(t.str(), DeployMode::direct, BundleFormat::raw);
        raw.filename = "f";
        return applyBundle(raw, "1", std::string(4096, 'x')).error() == Error::WriteFailed ? 0 : 1;
    });
    if (status == 77) GTEST_SKIP() << "no file size limit here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(capture.text(), "error(bundle): failed to write " + t.str() + "/f: error.FileTooBig\n");
    EXPECT_EQ(test::readFile(t / "f"), "before");
    EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"f"}));
}

TEST(ApplyDirect, ExtractsIntoTargetDirAllOrNothing) {
    test::TempDir t;
    const Bundle bundle = test::bundleAt(t.str(), DeployMode::direct);
    Applied a = apply(bundle, "ignored", payload("d"));
    ASSERT_TRUE(a.result) << a.log;
    EXPECT_EQ(a.log, "info(bundle): extracted 2 file(s) to " + t.str() + " (direct)\n");
    EXPECT_TRUE(holdsPayload(t.str(), "d"));

    a = apply(bundle, "ignored", test::makeTarGz({test::fileEntry("one", "1"), test::fileEntry("x/y/z", "2")}));
    ASSERT_FALSE(a.result);
    EXPECT_EQ(a.result.error(), Error::MakePath);
    EXPECT_FALSE(fs::exists(t / "one"));
    EXPECT_TRUE(holdsPayload(t.str(), "d"));
}

// A failing hook is a warning in every mode; the install stands.
TEST(ApplyBundle, FailingHookKeepsTheInstall) {
    struct Case {
        DeployMode mode;
        BundleFormat format;
        std::string tail;
    };
    const Case cases[] = {
        {DeployMode::versioned, BundleFormat::archive,
         "warning(bundle): post_sync hook failed: error.HookFailed (bundle deployed, manual action needed)\n"
         "info(bundle): removed old dir: vold\n"},
        {DeployMode::direct, BundleFormat::archive,
         "warning(bundle): post_sync hook failed: error.HookFailed (files written, manual action needed)\n"},
        {DeployMode::versioned, BundleFormat::raw,
         "warning(bundle): post_sync hook failed: error.HookFailed (file written, manual action needed)\n"},
    };
    for (const auto& c : cases) {
        test::TempDir t;
        Bundle bundle = test::bundleAt(t.str(), c.mode, c.format);
        bundle.filename = "f";
        ASSERT_TRUE(apply(bundle, "old", payload("old")).result);
        bundle.post_sync = "exit 3";
        const Applied a = apply(bundle, "new", payload("new"));
        ASSERT_TRUE(a.result) << a.log;
        const std::string hook_lines =
            "info(bundle): running post_sync: exit 3\nwarning(bundle): post_sync exited with code 3\n";
        const auto at = a.log.find(hook_lines);
        ASSERT_NE(at, std::string::npos) << a.log;
        EXPECT_EQ(a.log.substr(at + hook_lines.size()), c.tail);
        if (c.format == BundleFormat::raw) {
            EXPECT_EQ(test::readFile(t / "f"), payload("new"));
        } else if (c.mode == DeployMode::versioned) {
            EXPECT_EQ(linkTarget(t / "current"), "vnew");
            EXPECT_FALSE(fs::exists(t / "vold"));
        } else {
            EXPECT_EQ(test::readFile(t / "README"), "new");
        }
    }
}

// On a read-only file system (a bind mount in a private mount namespace):
// the staging directory, the raw file and a new target_dir fail with their
// tables' names; what exists is not touched.
TEST(ApplyBundle, ReadOnlyFileSystem) {
    test::TempDir root;
    const std::string t = root / "t";
    fs::create_directory(t);
    test::writeFile(t + "/f", "before");
    test::StderrCapture capture;
    const int status = inChild([&]() {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount(root.str().c_str(), root.str().c_str(), nullptr, MS_BIND, nullptr) != 0) return 77;
        if (::mount(nullptr, root.str().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            return 77;
        int failures = 0;
        const Bundle versioned = test::bundleAt(t);
        failures += ensureTargetDir(versioned) ? 0 : 1;  // exists: fine
        failures += applyBundle(versioned, "1", payload("1")).error() == Error::MakePath ? 0 : 2;
        Bundle raw = test::bundleAt(t, DeployMode::versioned, BundleFormat::raw);
        raw.filename = "f";
        failures += applyBundle(raw, "1", "after").error() == Error::CreateFileFailed ? 0 : 4;
        failures += ensureTargetDir(test::bundleAt(root / "new")) ? 8 : 0;
        return failures;
    });
    if (status == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(capture.text(),
              "error(bundle): failed to create staging dir " + t + "/v1: error.ReadOnlyFileSystem\n"
              "error(bundle): failed to create " + t + "/f: error.Unexpected\n"
              "error(quillstead): [b] failed to create target_dir " + (root / "new") +
                  ": error.ReadOnlyFileSystem\n");
    EXPECT_EQ(test::readFile(t + "/f"), "before");
    EXPECT_EQ(entriesOf(t), (std::vector<std::string>{"f"}));
}

}  // namespace
}  // namespace qs

namespace qs {
namespace {

// Lines of `text`, sorted, keeping only those that start with `prefix`.
std::vector<std::string> sortedLinesWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        const std::string line = text.substr(start, end - start);
        if (line.starts_with(prefix)) lines.push_back(line);
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// pre_switch decides whether the new version goes live: it runs in the new
// tree before the switch, and anything but exit 0 discards that tree.
TEST(ApplyVersioned, PreSwitchAcceptsOrRefuses) {
    struct Case {
        const char* name;
        std::string command;
        bool same_name;  // the new version has the live one's name
        std::string refusal;  // empty: accepted
    };
    const Case cases[] = {
        {"checks the new tree", "test \"$(cat README)\" = new && test -f conf/app.conf", false, ""},
        {"exit 1", "exit 1", false, "exited with code 1"},
        {"killed by a signal", "kill -9 $$", false, "killed by signal 9"},
        {"same name, accepted", "test \"$(cat README)\" = new", true, ""},
        {"same name, refused", "test \"$(cat README)\" = old", true, "exited with code 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir t;
        Bundle bundle = test::bundleAt(t.str());
        ASSERT_TRUE(apply(bundle, "old", payload("old")).result);
        bundle.pre_switch = c.command;
        const std::string version = c.same_name ? "old" : "new";
        const Applied a = apply(bundle, version, payload("new"));
        const std::string running = "info(bundle): running pre_switch: " + c.command + "\n";
        EXPECT_NE(a.log.find(running), std::string::npos) << a.log;
        if (c.refusal.empty()) {
            ASSERT_TRUE(a.result) << a.log;
            EXPECT_NE(a.log.find(running + "info(bundle): pre_switch completed successfully\n"
                                           "info(bundle): current -> v" + version + "\n"),
                      std::string::npos)
                << a.log;
            EXPECT_TRUE(holdsPayload(t / ("v" + version), "new"));
            EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"current", "v" + version}));
        } else {
            ASSERT_FALSE(a.result);
            EXPECT_EQ(a.result.error(), Error::PreSwitchRefused);
            EXPECT_TRUE(a.log.ends_with(running + "error(quillstead): [b] pre_switch refused version " +
                                        version + ": " + c.refusal + "\n"))
                << a.log;
            EXPECT_TRUE(holdsPayload(t / "vold", "old"));
            EXPECT_EQ(entriesOf(t.str()), (std::vector<std::string>{"current", "vold"}));
        }
        EXPECT_EQ(linkTarget(t / "current"), c.refusal.empty() ? "v" + version : "vold");
    }
}

// A kept version offered again is installed anew under its name, but the
// kept tree and the record stay exactly as they were until the new tree is
// live: a refusal or a failed switch leaves them for a rollback.
TEST(ApplyVersioned, KeptVersionOfferedAgainStaysUntilTheNewTreeIsLive) {
    struct Case {
        const char* name;
        std::string pre_switch;
        std::function<void(const std::string&)> prepare;
        bool installed;
    };
    const Case cases[] = {
        {"accepted", "test \"$(cat README)\" = a2", nullptr, true},
        {"refused by pre_switch", "exit 1", nullptr, false},
        {"switch fails",
         "",
         [](const std::string& t) {
             fs::remove(t + "/current");
             fs::create_directory(t + "/current");
             test::writeFile(t + "/current/keep", "");
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir t;
        Bundle bundle = test::bundleAt(t.str());
        bundle.options.keep_versions = 3;
        ASSERT_TRUE(apply(bundle, "a", payload("a")).result);
        ASSERT_TRUE(apply(bundle, "b", payload("b")).result);
        const std::string record = test::readFile(t / ".versions");
        if (!c.pre_switch.empty()) bundle.pre_switch = c.pre_switch;
        if (c.prepare) c.prepare(t.str());
        const Applied a = apply(bundle, "a", payload("a2"));
        EXPECT_EQ(a.result.has_value(), c.installed) << a.log;
        EXPECT_EQ(entriesOf(t.str()),
                  (std::vector<std::string>{".versions", "current", "va", "vb"}));
        EXPECT_TRUE(holdsPayload(t / "va", c.installed ? "a2" : "a"));
        EXPECT_TRUE(holdsPayload(t / "vb", "b"));
        if (c.installed) {
            EXPECT_EQ(linkTarget(t / "current"), "va");
            EXPECT_EQ(test::readFile(t / ".versions"), "vb\nva\n");
        } else {
            EXPECT_EQ(test::readFile(t / ".versions"), record);
            if (!c.prepare) {
                EXPECT_EQ(linkTarget(t / "current"), "vb");
            }
        }
    }
}

// Both hooks learn what is being installed from their environment, and
// nothing else of the agent's; pre_switch runs in the new version's tree.
TEST(ApplyBundle, HookEnvironment) {
    test::TempDir root;
    const std::string out = root / "out";
    fs::create_directory(out);
    struct Case {
        const char* name;
        DeployMode mode;
        BundleFormat format;
        std::string version;  // installed after "old"
        std::string version_dir;  // for post_sync; {t} is target_dir
        std::string pre_switch_dir;  // empty: pre_switch does not run
        bool previous;
    };
    const Case cases[] = {
        {"versioned", DeployMode::versioned, BundleFormat::archive, "new", "{t}/vnew", "{t}/vnew", true},
        {"versioned, same name", DeployMode::versioned, BundleFormat::archive, "old", "{t}/vold",
         "{t}/.staging-old-{pid}", true},
        {"direct", DeployMode::direct, BundleFormat::archive, "new", "{t}", "", false},
        {"raw", DeployMode::versioned, BundleFormat::raw, "new", "{t}", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir t;
        Bundle bundle = test::bundleAt(t.str(), c.mode, c.format);
        bundle.filename = "f";
        ASSERT_TRUE(apply(bundle, "old", payload("old")).result);
        bundle.post_sync = "env > " + out + "/post; pwd > " + out + "/post.pwd";
        if (c.mode == DeployMode::versioned) {
            bundle.pre_switch = "env > " + out + "/pre; pwd > " + out + "/pre.pwd";
        }
        test::StderrCapture capture;
        ASSERT_TRUE(applyBundle(bundle, c.version, payload("new"), "W/\"x y\"")) << capture.text();

        const auto expand = [&](std::string text) {
            text = replaceAll(text, "{t}", t.str());
            return replaceAll(text, "{pid}", std::to_string(::getpid()));
        };
        std::vector<std::string> expected = {
            "QUILLSTEAD_BUNDLE=b",
            "QUILLSTEAD_ETAG=W/\"x y\"",
            "QUILLSTEAD_TARGET_DIR=" + t.str(),
            "QUILLSTEAD_VERSION=" + c.version,
            "QUILLSTEAD_VERSION_DIR=" + expand(c.version_dir),
        };
        if (c.previous) expected.insert(expected.begin() + 2, "QUILLSTEAD_PREVIOUS_VERSION=old");
        EXPECT_EQ(sortedLinesWith(test::readFile(out + "/post"), "QUILLSTEAD_"), expected);
        // Everything the shell sees comes from the agent's list, the
        // variables dash sets for itself aside.
        for (const auto& line : sortedLinesWith(test::readFile(out + "/post"), "")) {
            EXPECT_TRUE(line.starts_with("QUILLSTEAD_") || line.starts_with("PWD=") ||
                        line.starts_with("OLDPWD="))
                << line;
        }
        if (!c.pre_switch_dir.empty()) {
            std::vector<std::string> pre = expected;
            std::erase_if(pre, [](const std::string& v) { return v.starts_with("QUILLSTEAD_PREVIOUS"); });
            std::erase_if(pre, [](const std::string& v) { return v.starts_with("QUILLSTEAD_VERSION_DIR"); });
            pre.push_back("QUILLSTEAD_VERSION_DIR=" + expand(c.pre_switch_dir));
            EXPECT_EQ(sortedLinesWith(test::readFile(out + "/pre"), "QUILLSTEAD_"), pre);
            EXPECT_EQ(test::readFile(out + "/pre.pwd"), expand(c.pre_switch_dir) + "\n");
        }
        fs::remove_all(out);
        fs::create_directory(out);
    }
}

// A relative target_dir reaches the hooks as an absolute path.
TEST(ApplyBundle, HookPathsAreAbsolute) {
    test::TempDir root;
    const fs::path saved = fs::current_path();
    fs::current_path(root.path());
    Bundle bundle = test::bundleAt("t/");
    fs::create_directory(root / "t");
    bundle.post_sync = "echo \"$QUILLSTEAD_TARGET_DIR|$QUILLSTEAD_VERSION_DIR\" > " + (root / "vars");
    const Applied a = apply(bundle, "1", payload("1"));
    fs::current_path(saved);
    ASSERT_TRUE(a.result) << a.log;
    const std::string real = fs::canonical(root.path()).string();
    EXPECT_EQ(test::readFile(root / "vars"), real + "/t|" + real + "/t/v1\n");
}

}  // namespace
}  // namespace qs

namespace qs {
namespace {

// Makes renameat2 fail with EINVAL in this process from now on, as on a
// file system (or a system) without an atomic exchange of two names.
bool refuseRenameExchange() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EINVAL & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Without an atomic exchange, a same-name reinstall switches `current` to
// the complete staged tree instead, and the next install of any version
// brings back a plain version name.
TEST(ApplyVersioned, SameNameWithoutAnAtomicExchange) {
    test::TempDir t;
    const Bundle bundle = test::bundleAt(t.str());
    ASSERT_TRUE(apply(bundle, "red", payload("one")).result);
    test::StderrCapture capture;
    const int status = inChild([&]() {
        if (!refuseRenameExchange()) return 77;
        const std::string staged = stagingName("red", ::getpid());
        int failures = 0;
        failures += applyBundle(bundle, "red", payload("two")) ? 0 : 1;
        failures += linkTarget(t / "current") == staged ? 0 : 2;
        failures += holdsPayload(t / staged, "two") ? 0 : 4;
        failures += entriesOf(t.str()) == std::vector<std::string>{staged, "current"} ? 0 : 8;
        // The live staged tree is no leftover.
        removeLeftovers(bundle);
        failures += holdsPayload(t / staged, "two") ? 0 : 16;
        failures += applyBundle(bundle, "red", payload("three")) ? 0 : 32;
        failures += linkTarget(t / "current") == "vred" ? 0 : 64;
        failures += entriesOf(t.str()) == std::vector<std::string>{"current", "vred"} ? 0 : 128;
        failures += holdsPayload(t / "vred", "three") ? 0 : 256;
        return failures;
    });
    if (status == 77) GTEST_SKIP() << "no seccomp filter here";
    EXPECT_EQ(status, 0) << capture.text();
}

}  // namespace
}  // namespace qs
