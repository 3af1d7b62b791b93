#include "deploy/ownership.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "support/as_user.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

// The file's creation mode before applyOwnership; distinct from every mode
// a case expects so that "unchanged" is visible.
constexpr unsigned kInitialMode = 0640;
// A starting owner distinct from every ID a case sets.
constexpr unsigned kInitialUid = 12345;
constexpr unsigned kInitialGid = 23456;

struct FileState {
    unsigned mode;  // permission and special bits
    unsigned uid;
    unsigned gid;
};

FileState stateOf(int fd) {
    struct stat status {};
    EXPECT_EQ(::fstat(fd, &status), 0);
    return {static_cast<unsigned>(status.st_mode & 07777), static_cast<unsigned>(status.st_uid),
            static_cast<unsigned>(status.st_gid)};
}

// A written file, still open for writing as extraction leaves it.
class OpenFile {
public:
    explicit OpenFile(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(::fchmod(fd_, kInitialMode), 0);
        if (::geteuid() == 0) {
            EXPECT_EQ(::fchown(fd_, kInitialUid, kInitialGid), 0);
        }
    }
    ~OpenFile() { ::close(fd_); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    [[nodiscard]] int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = -1;
};

unsigned uidOf(const char* user) {
    const struct passwd* entry = ::getpwnam(user);
    EXPECT_NE(entry, nullptr) << user;
    return entry ? static_cast<unsigned>(entry->pw_uid) : 0;
}
unsigned primaryGidOf(const char* user) {
    const struct passwd* entry = ::getpwnam(user);
    EXPECT_NE(entry, nullptr) << user;
    return entry ? static_cast<unsigned>(entry->pw_gid) : 0;
}
unsigned gidOf(const char* group) {
    const struct group* entry = ::getgrnam(group);
    EXPECT_NE(entry, nullptr) << group;
    return entry ? static_cast<unsigned>(entry->gr_gid) : 0;
}

TEST(ApplyOwnership, ChoosesTheModeAndKeepsOnlyPermissionBits) {
    struct Case {
        const char* name;
        std::optional<std::uint32_t> extract_mode;
        std::uint32_t entry_mode;
        std::optional<std::string> owner;
        unsigned expected_mode;
    };
    const Case cases[] = {
        {"entry mode", std::nullopt, 0644, std::nullopt, 0644},
        {"entry mode with file-type bits", std::nullopt, 0100644, std::nullopt, 0644},
        {"entry setuid dropped", std::nullopt, 04755, std::nullopt, 0755},
        {"entry sticky and setgid dropped", std::nullopt, 03777, std::nullopt, 0777},
        {"extract_mode wins over entry", 0604, 0777, std::nullopt, 0604},
        {"extract_mode setuid dropped", 04755, 0, std::nullopt, 0755},
        // Permission bits of 0 change nothing, even with an owner configured.
        {"extract_mode 0", 0, 0644, std::string("0"), kInitialMode},
        {"extract_mode special bits only", 07000, 0644, std::nullopt, kInitialMode},
        {"entry special bits only", std::nullopt, 04000, std::nullopt, kInitialMode},
        // No mode anywhere: an owned file is private to its owner ...
        {"no mode, owner set", std::nullopt, 0, std::string("0"), 0600},
        {"no mode, empty owner set", std::nullopt, 0, std::string(""), 0600},
        // ... and without an owner nothing at all is changed.
        {"no mode, no owner", std::nullopt, 0, std::nullopt, kInitialMode},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenFile file(dir / "f");
        const FileState before = stateOf(file.fd());
        test::StderrCapture capture;
        applyOwnership(file.fd(), "f", c.owner, c.extract_mode, c.entry_mode);
        const FileState after = stateOf(file.fd());
        EXPECT_EQ(after.mode, c.expected_mode) << std::oct << after.mode;
        if (!c.owner) {
            EXPECT_EQ(after.uid, before.uid);
            EXPECT_EQ(after.gid, before.gid);
        }
        if (test::runningAsRoot()) {
            EXPECT_EQ(capture.text(), "");
        }
    }
}

TEST(ApplyOwnership, OwnerFormsSetUserAndGroup) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "changing owners needs root";
    struct Case {
        const char* owner;
        unsigned uid;  // expected
        unsigned gid;
    };
    const Case cases[] = {
        {"0", 0, kInitialGid},  // a numeric user leaves the group alone
        {"root", 0, primaryGidOf("root")},
        {"nobody", uidOf("nobody"), primaryGidOf("nobody")},  // name alone: primary group too
        {"nobody:", uidOf("nobody"), kInitialGid},            // trailing colon: user only
        {":nogroup", kInitialUid, gidOf("nogroup")},
        {":0", kInitialUid, 0},
        {"1001:1002", 1001, 1002},
        {"nobody:root", uidOf("nobody"), gidOf("root")},
        {"0:nogroup", 0, gidOf("nogroup")},
        // Integer text: a plus sign, underscores, and "-0" as zero.
        {"+1_000:-0", 1000, 0},
        // The largest 32-bit number is the "leave unchanged" ID.
        {"4294967295:7", kInitialUid, 7},
        {"", kInitialUid, kInitialGid},
        {":", kInitialUid, kInitialGid},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.owner);
        OpenFile file(dir / "f");
        test::StderrCapture capture;
        applyOwnership(file.fd(), "f", std::string(c.owner), 0644, 0);
        const FileState after = stateOf(file.fd());
        EXPECT_EQ(after.uid, c.uid);
        EXPECT_EQ(after.gid, c.gid);
        EXPECT_EQ(after.mode, 0644u);
        EXPECT_EQ(capture.text(), "");
    }
}

TEST(ApplyOwnership, UnresolvedOwnerWarnsAndChangesOnlyTheMode) {
    const std::string long_name(128, 'r');
    const std::string owners[] = {
        "no_such_user_qs",
        ":no_such_group_qs",
        "nobody:no_such_group_qs",  // a known user is not applied when the group fails
        "no_such_user_qs:nogroup",
        "4294967296",               // beyond 32 bits: read as a name, not found
        long_name,                  // 128 bytes do not fit the name buffer with its NUL
        std::string(200, 'x') + ":root",
        ":" + long_name,
        std::string("root\0x", 6),  // a NUL would shorten the name the system sees
    };
    test::TempDir dir;
    for (const std::string& owner : owners) {
        SCOPED_TRACE(owner);
        OpenFile file(dir / "f");
        const FileState before = stateOf(file.fd());
        test::StderrCapture capture;
        applyOwnership(file.fd(), "sub/f", owner, std::nullopt, 0);
        const FileState after = stateOf(file.fd());
        EXPECT_EQ(capture.text(), "warning(bundle): extract_owner '" + owner +
                                      "' did not resolve (file sub/f left with process owner)\n");
        EXPECT_EQ(after.mode, 0600u);  // the mode step already ran
        EXPECT_EQ(after.uid, before.uid);
        EXPECT_EQ(after.gid, before.gid);
    }
}

TEST(ApplyOwnership, UnprivilegedAgentWarnsForChmodAndChown) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.str().c_str(), 0777), 0);
    test::writeFile(dir / "roots", "x");  // owned by root: nobody may not chmod it
    test::StderrCapture capture;
    const int child = test::runUnprivileged([&] {
        // Its own file: the mode applies, giving it away fails.
        const int own = ::open((dir / "own").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (own < 0) return 1;
        applyOwnership(own, "own", std::string("root"), 0751, 0);
        struct stat own_status {};
        if (::fstat(own, &own_status) != 0 || (own_status.st_mode & 07777) != 0751) return 2;
        ::close(own);
        // Someone else's file: both steps fail, each with its warning.
        const int other = ::open((dir / "roots").c_str(), O_RDONLY | O_CLOEXEC);
        if (other < 0) return 3;
        applyOwnership(other, "roots", std::string("0:0"), std::nullopt, 0100644);
        ::close(other);
        return 0;
    });
    EXPECT_EQ(child, 0);
    EXPECT_EQ(capture.text(),
              "warning(bundle): failed to chown own to root: error.PermissionDenied\n"
              "warning(bundle): failed to chmod roots to 644: error.PermissionDenied\n"
              "warning(bundle): failed to chown roots to 0:0: error.PermissionDenied\n");
}

}  // namespace
}  // namespace qs
