// Direct mode writes where readers look: an install either moves the whole
// payload into target_dir or leaves it byte for byte as it was, and a reader
// never finds a file half written.

#include "sync/apply_bundle.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/archive.hpp"
#include "support/bundles.hpp"
#include "support/scripted_server.hpp"
#include "support/signing.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "sync/sync_bundle.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;

Bundle directBundle(const std::string& target_dir) {
    return test::bundleAt(target_dir, DeployMode::direct);
}

// Every entry below `dir`: its kind, permission bits and contents (or link
// target), so that two listings are equal only when the trees are equal
// byte for byte.
std::map<std::string, std::string> listing(const std::string& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        struct stat info {};
        ::lstat(e.path().c_str(), &info);
        std::string& line = tree[fs::relative(e.path(), dir).string()];
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o ", info.st_mode & 07777);
        line = mode;
        if (S_ISLNK(info.st_mode)) {
            line += "link " + fs::read_symlink(e.path()).string();
        } else if (S_ISREG(info.st_mode)) {
            line += "file " + test::readFile(e.path().string());
        } else if (S_ISDIR(info.st_mode)) {
            line += "dir";
        } else {
            line += "special";
        }
    }
    return tree;
}

// A live tree as an earlier install and an operator leave it: files of
// several modes, a subdirectory, and the operator's own file.
std::string oldPayload() {
    return test::makeTarGz({test::dirEntry("conf/"), test::fileEntry("conf/app.conf", "old app", 0640),
                            test::fileEntry("conf/db.conf", "old db", 0600),
                            test::fileEntry("README", "old readme", 0644),
                            test::fileEntry("run.sh", "#!/bin/sh\n", 0755)});
}

std::string newPayload() {
    return test::makeTarGz({test::dirEntry("conf/"), test::fileEntry("conf/app.conf", "new app", 0644),
                            test::fileEntry("conf/db.conf", std::string(50000, 'n'), 0644),
                            test::dirEntry("conf/extra/"),
                            test::fileEntry("conf/extra/more.conf", "more"),
                            test::fileEntry("README", "new readme", 0600)});
}

void installOld(const Bundle& bundle) {
    test::StderrCapture capture;
    ASSERT_TRUE(applyBundle(bundle, "1", oldPayload())) << capture.text();
    test::writeFile(bundle.target_dir + "/operator.txt", "mine");
}

// Runs `body` in a child process (its log lines go to the parent's captured
// standard error); its exit status, 77 meaning "cannot set up here".
int inChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A private mount namespace in which `dir` is a tmpfs of `size` bytes.
bool privateTmpfs(const std::string& dir, const std::string& size) {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

std::string unchangedLine(const std::string& target) {
    return "error(bundle): " + target + " left as it was: nothing was moved into it (direct mode)\n";
}

TEST(DirectInstall, FailuresBeforeTheMoveLeaveTheTargetAsItWas) {
    const std::string good = newPayload();
    struct Case {
        const char* name;
        std::string body;
        std::function<void(Bundle&, const std::string& target)> arrange;
        Error error;
        std::string line;  // a line the failure logs, {t} standing for target_dir
    };
    const Case cases[] = {
        {"truncated archive", good.substr(0, good.size() / 2), {}, Error::ExtractFailed,
         "error(bundle): failed to extract conf/db.conf: error.ReadFailed\n"},
        {"over max_unpacked_bytes", good,
         [](Bundle& b, const std::string&) { b.options.max_unpacked_bytes = 1000; },
         Error::ArchiveTooLarge,
         "error(bundle): archive unpacks to more than 1000 bytes (max_unpacked_bytes); "
         "extraction stopped at conf/db.conf\n"},
        {"over max_entries", good, [](Bundle& b, const std::string&) { b.options.max_entries = 3; },
         Error::ArchiveTooManyEntries,
         "error(bundle): archive has more than 3 entries (max_entries); extraction stopped at "
         "conf/extra/\n"},
        {"directory where the payload has a file", good,
         [](Bundle&, const std::string& t) {
             fs::remove(t + "/README");
             fs::create_directory(t + "/README");
         },
         Error::IsDir,
         "error(bundle): {t}/README is a directory where the payload has a file; it is not "
         "replaced\n"},
        {"FIFO where the payload has a file", good,
         [](Bundle&, const std::string& t) {
             fs::remove(t + "/conf/db.conf");
             ::mkfifo((t + "/conf/db.conf").c_str(), 0640);
         },
         Error::PathAlreadyExists,
         "error(bundle): {t}/conf/db.conf is a FIFO, socket or device where the payload has a "
         "file; it is not replaced\n"},
        {"file where the payload has a directory", good,
         [](Bundle&, const std::string& t) { test::writeFile(t + "/conf/extra", "a file"); },
         Error::NotDir,
         "error(bundle): {t}/conf/extra is a file where the payload has a directory; it is not "
         "replaced\n"},
        {"link where the payload has a directory", good,
         [](Bundle&, const std::string& t) {
             fs::remove_all(t + "/conf");
             fs::create_directory_symlink("/etc", t + "/conf");
         },
         Error::NotDir,
         "error(bundle): {t}/conf is a symbolic link where the payload has a directory; it is "
         "not replaced\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir t;
        Bundle bundle = directBundle(t.str());
        installOld(bundle);
        if (c.arrange) c.arrange(bundle, t.str());
        const auto before = listing(t.str());

        test::StderrCapture capture;
        const Result<void> applied = applyBundle(bundle, "2", c.body);
        const std::string log = capture.text();
        ASSERT_FALSE(applied) << log;
        EXPECT_EQ(applied.error(), c.error);
        std::string line = c.line;
        if (const auto at = line.find("{t}"); at != std::string::npos) line.replace(at, 3, t.str());
        EXPECT_NE(log.find(line), std::string::npos) << log;
        EXPECT_TRUE(log.ends_with(unchangedLine(t.str()))) << log;
        EXPECT_EQ(listing(t.str()), before);
    }
}

// A small file system that fills up midway through the new payload: the
// staged files go, the live ones stay as they were.
TEST(DirectInstall, FullFileSystemLeavesTheTargetAsItWas) {
    test::TempDir root;
    test::StderrCapture capture;
    const int status = inChild([&] {
        if (!privateTmpfs(root.str(), "256k")) return 77;
        const std::string t = root / "t";
        fs::create_directory(t);
        const Bundle bundle = directBundle(t);
        if (!applyBundle(bundle, "1", oldPayload())) return 1;
        const auto before = listing(t);
        const std::string big = test::makeTarGz(
            {test::fileEntry("README", "new"), test::fileEntry("big.bin", std::string(400000, 'x'))});
        const Result<void> applied = applyBundle(bundle, "2", big);
        if (applied || applied.error() != Error::NoSpaceLeft) return 2;
        if (listing(t) != before) return 3;
        // Once there is room, the same payload installs.
        if (!applyBundle(bundle, "3", newPayload())) return 4;
        return test::readFile(t + "/README") == "new readme" ? 0 : 5;
    });
    if (status == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 0) << capture.text();
    const std::string log = capture.text();
    EXPECT_NE(log.find("error(bundle): failed to extract big.bin: error.NoSpaceLeft\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(unchangedLine(root / "t")), std::string::npos) << log;
}

// A signature that does not verify: the payload never reaches target_dir.
TEST(DirectInstall, SignatureFailureLeavesTheTargetAsItWas) {
    test::TempDir t;
    test::TempDir keys;
    const test::SigningKey key = test::makeSigningKey(keys.str(), "site", test::SigningKind::signify);
    const test::SigningKey other = test::makeSigningKey(keys.str(), "other", test::SigningKind::signify);
    const std::string payload_path = keys / "payload.tar.gz";
    test::writeFile(payload_path, newPayload());
    const std::string signature = test::signFile(other, payload_path);

    Bundle bundle = directBundle(t / "target");
    fs::create_directory(bundle.target_dir);
    installOld(bundle);
    const auto before = listing(bundle.target_dir);
    const std::string body = newPayload();
    test::ScriptedServer server(
        {test::script::respond("HTTP/1.1 200 OK\r\netag: \"2\"\r\ncontent-length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body),
         test::script::respond("HTTP/1.1 200 OK\r\ncontent-length: " +
                               std::to_string(signature.size()) + "\r\n\r\n" + signature)});
    bundle.url = server.url("/payload.tar.gz");
    bundle.signature_url = server.url("/payload.tar.gz.sig");
    bundle.public_key = key.public_path;
    BundleState state;
    test::StderrCapture capture;
    EXPECT_EQ(syncBundle(bundle, state, false), SyncOutcome::signature_failed);
    const std::string log = capture.text();
    EXPECT_NE(log.find("error(quillstead): [b] signature check failed: "), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with(unchangedLine(bundle.target_dir))) << log;
    EXPECT_EQ(listing(bundle.target_dir), before);
}

// A rename that fails midway (here: a mount point below target_dir, which no
// rename crosses) is reported with the names already moved.
TEST(DirectInstall, FailureDuringTheMoveNamesWhatMoved) {
    test::TempDir t;
    fs::create_directory(t / "mnt");
    test::StderrCapture capture;
    const int status = inChild([&] {
        if (!privateTmpfs(t / "mnt", "64k")) return 77;
        const Bundle bundle = directBundle(t.str());
        const Result<void> applied = applyBundle(
            bundle, "1",
            test::makeTarGz({test::fileEntry("a", "1"), test::dirEntry("d/"), test::fileEntry("d/b", "2"),
                             test::fileEntry("mnt/c", "3"), test::fileEntry("z", "4")}));
        if (applied || applied.error() != Error::RenameAcrossMountPoints) return 1;
        if (test::readFile(t / "d/b") != "2" || fs::exists(t / "mnt/c") || fs::exists(t / "z")) return 2;
        return 0;
    });
    if (status == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 0) << capture.text();
    EXPECT_TRUE(capture.text().ends_with(
        "error(bundle): failed to move mnt/c into " + t.str() + ": error.RenameAcrossMountPoints\n"
        "error(bundle): 2 of 4 file(s) moved into " + t.str() + " before the failure (direct mode)\n"
        "error(bundle): moved into " + t.str() + ": a\n"
        "error(bundle): moved into " + t.str() + ": d/b\n"))
        << capture.text();
    // Nothing of the staging directory is left behind.
    for (const auto& e : fs::directory_iterator(t.str())) {
        EXPECT_FALSE(e.path().filename().string().starts_with(".staging-")) << e.path();
    }
}

// A reader that checks every file while installs replace them finds each
// one whole: the old contents or the new, never a part.
TEST(DirectInstall, ReaderNeverSeesAPartialFile) {
    constexpr int kFiles = 20;
    const auto payloadOf = [&](char fill, std::size_t size) {
        std::vector<test::ArchiveEntry> entries{test::dirEntry("d/")};
        for (int i = 0; i < kFiles; ++i) {
            entries.push_back(test::fileEntry("d/f" + std::to_string(i), std::string(size, fill)));
        }
        return test::makeTarGz(entries);
    };
    const std::string payloads[] = {payloadOf('A', 40000), payloadOf('B', 70000)};
    test::TempDir t;
    const Bundle bundle = directBundle(t.str());
    {
        test::StderrCapture capture;
        ASSERT_TRUE(applyBundle(bundle, "0", payloads[0])) << capture.text();
    }

    std::fflush(nullptr);
    const pid_t reader = ::fork();
    if (reader == 0) {
        // Reads until told to stop; exits 1 at the first file that is
        // neither payload's whole contents, 2 when it never read at all.
        static volatile std::sig_atomic_t stop = 0;
        std::signal(SIGTERM, [](int) { stop = 1; });
        long reads = 0;
        while (stop == 0) {
            for (int i = 0; i < kFiles; ++i) {
                const std::string path = t / ("d/f" + std::to_string(i));
                FILE* file = std::fopen(path.c_str(), "rb");
                if (file == nullptr) ::_exit(1);
                std::string contents(100000, '\0');
                contents.resize(std::fread(contents.data(), 1, contents.size(), file));
                std::fclose(file);
                const bool whole =
                    (contents.size() == 40000 && contents.find_first_not_of('A') == std::string::npos) ||
                    (contents.size() == 70000 && contents.find_first_not_of('B') == std::string::npos);
                if (!whole) ::_exit(1);
                ++reads;
            }
        }
        ::_exit(reads > 0 ? 0 : 2);
    }
    {
        test::StderrCapture capture;
        for (int round = 1; round <= 60; ++round) {
            ASSERT_TRUE(applyBundle(bundle, std::to_string(round), payloads[round % 2]))
                << capture.text();
        }
    }
    ::kill(reader, SIGTERM);
    int status = 0;
    ::waitpid(reader, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The names an archive gives its entries ("./a", "a//b", a file twice) end up
// where an extraction in place would put them, and the staging directory
// goes.
TEST(DirectInstall, MovesEveryEntryAndLeavesNoStaging) {
    test::TempDir t;
    test::writeFile(t / "keep", "operator");
    const Bundle bundle = directBundle(t.str());
    test::StderrCapture capture;
    ASSERT_TRUE(applyBundle(bundle, "1",
                            test::makeTarGz({test::fileEntry("./a", "1"), test::dirEntry("x/"),
                                             test::fileEntry("x//y", "2", 0600),
                                             test::fileEntry("a", "3"),
                                             test::fileEntry("new/deep", "4")})))
        << capture.text();
    EXPECT_EQ(capture.text(), "info(bundle): extracted 4 file(s) to " + t.str() + " (direct)\n");
    EXPECT_EQ(listing(t.str()),
              (std::map<std::string, std::string>{{"a", "0644 file 3"},
                                                  {"keep", "0644 file operator"},
                                                  {"new", "0755 dir"},
                                                  {"new/deep", "0644 file 4"},
                                                  {"x", "0755 dir"},
                                                  {"x/y", "0600 file 2"}}));
}

// An old entry the payload replaces is replaced by name: a symbolic link
// is not followed, another hard link of an old file keeps the old contents,
// and the old entries do not linger in target_dir or its staging directory.
TEST(DirectInstall, ReplacesOldEntriesByName) {
    test::TempDir root;
    const std::string t = root / "t";
    fs::create_directory(t);
    test::writeFile(root / "outside", "precious");
    fs::create_symlink(root / "outside", t + "/linked.conf");
    test::writeFile(t + "/shared.conf", "old shared");
    fs::create_hard_link(t + "/shared.conf", root / "other-name");
    test::writeFile(t + "/plain.conf", "old plain");
    const Bundle bundle = directBundle(t);
    test::StderrCapture capture;
    ASSERT_TRUE(applyBundle(bundle, "1",
                            test::makeTarGz({test::fileEntry("linked.conf", "new linked"),
                                             test::fileEntry("shared.conf", "new shared", 0600),
                                             test::fileEntry("plain.conf", "new plain")})))
        << capture.text();
    EXPECT_EQ(listing(t), (std::map<std::string, std::string>{{"linked.conf", "0644 file new linked"},
                                                              {"plain.conf", "0644 file new plain"},
                                                              {"shared.conf", "0600 file new shared"}}));
    EXPECT_EQ(test::readFile(root / "outside"), "precious");
    EXPECT_EQ(test::readFile(root / "other-name"), "old shared");
    EXPECT_EQ(fs::hard_link_count(root / "other-name"), 1u);
}

}  // namespace
}  // namespace qs

namespace qs {
namespace {

Bundle pruningBundle(const std::string& target_dir) {
    Bundle b = directBundle(target_dir);
    b.options.prune = true;
    return b;
}

std::string applyLogged(const Bundle& bundle, const std::string& version, const std::string& body) {
    test::StderrCapture capture;
    const Result<void> applied = applyBundle(bundle, version, body);
    EXPECT_TRUE(applied) << capture.text();
    return capture.text();
}

// prune removes what the previous payload wrote and the new one lacks, and
// nothing else: not the operator's file beside it, not a directory that
// still holds one, not what a record it cannot trust names.
TEST(DirectPrune, RemovesWhatThePreviousPayloadWroteAndNothingElse) {
    test::TempDir root;
    const std::string t = root / "t";
    fs::create_directory(t);
    test::writeFile(root / "outside", "precious");
    const Bundle bundle = pruningBundle(t);

    const std::string first_log = applyLogged(
        bundle, "1",
        test::makeTarGz({test::fileEntry("keep.conf", "1"), test::fileEntry("extra.conf", "1"),
                         test::dirEntry("old/"), test::fileEntry("old/a", "1"),
                         test::dirEntry("shared/"), test::fileEntry("shared/b", "1"),
                         test::fileEntry("line\nbreak", "1"), test::fileEntry("back\\slash", "1")}));
    // Nothing to compare with yet: a warning, and nothing goes.
    EXPECT_NE(first_log.find("warning(bundle): prune: no " + t +
                             "/.manifest from an earlier install; nothing is removed this time\n"),
              std::string::npos)
        << first_log;
    EXPECT_EQ(test::readFile(t + "/.manifest"),
              "back\\\\slash\nextra.conf\nkeep.conf\nline\\nbreak\nold\nold/a\nshared\nshared/b\n");

    test::writeFile(t + "/operator.txt", "mine");
    test::writeFile(t + "/shared/operator.txt", "mine too");
    const std::string second_log = applyLogged(
        bundle, "2", test::makeTarGz({test::fileEntry("keep.conf", "2"), test::fileEntry("new.conf", "2")}));
    EXPECT_NE(second_log.find("info(bundle): pruned " + t + "/extra.conf\n"), std::string::npos)
        << second_log;
    EXPECT_EQ(listing(t), (std::map<std::string, std::string>{
                              {".manifest", "0644 file keep.conf\nnew.conf\nshared\n"},
                              {"keep.conf", "0644 file 2"},
                              {"new.conf", "0644 file 2"},
                              {"operator.txt", "0644 file mine"},
                              {"shared", "0755 dir"},
                              {"shared/operator.txt", "0644 file mine too"}}));

    // A record edited by someone else names nothing outside target_dir and
    // none of the agent's own files.
    test::writeFile(t + "/.manifest", "../outside\n/etc/passwd\n.etag\nkeep.conf/../../outside\n"
                                      "new.conf\nbad\\escape\n");
    (void)applyLogged(bundle, "3", test::makeTarGz({test::fileEntry("keep.conf", "3")}));
    EXPECT_EQ(test::readFile(root / "outside"), "precious");
    EXPECT_FALSE(fs::exists(t + "/new.conf"));
    EXPECT_EQ(test::readFile(t + "/.manifest"), "keep.conf\n");
}

// Without prune nothing is recorded and nothing removed.
TEST(DirectPrune, OffByDefault) {
    test::TempDir t;
    const Bundle bundle = directBundle(t.str());
    (void)applyLogged(bundle, "1", test::makeTarGz({test::fileEntry("a", "1")}));
    (void)applyLogged(bundle, "2", test::makeTarGz({test::fileEntry("b", "2")}));
    EXPECT_EQ(listing(t.str()),
              (std::map<std::string, std::string>{{"a", "0644 file 1"}, {"b", "0644 file 2"}}));
}

}  // namespace
}  // namespace qs
