// Whoever may write in target_dir (the user a raw file is handed to, say)
// must not be able to swap the spooled payload for a file of their own
// while it downloads: the agent checks the signature over what it wrote,
// and what goes into place must be that same file.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/bundles.hpp"
#include "support/scripted_server.hpp"
#include "support/signing.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "sync/signature_check.hpp"
#include "sync/spool.hpp"
#include "sync/sync_bundle.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

// What the attacker managed, as the child's exit status.
enum Swap { replaced_payload = 10, replaced_directory = 11, replaced_spool = 12, nothing = 13 };

// As an unprivileged user: wait for the agent's spool, then put a file of
// one's own where the agent will take its payload from, by whichever name
// the permissions allow.
[[noreturn]] void attack(const std::string& target, const std::string& spool) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
    const std::string evil = target + "/.evil";
    const int fd = ::open(evil.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || ::write(fd, "evil", 4) != 4 || ::close(fd) != 0) ::_exit(3);
    struct stat st {};
    for (int i = 0; i < 500 && ::lstat(spool.c_str(), &st) != 0; ++i) ::usleep(10000);
    if (S_ISREG(st.st_mode)) {
        ::_exit(::rename(evil.c_str(), spool.c_str()) == 0 ? replaced_spool : nothing);
    }
    const std::string payload = spool + "/" + std::string(kSpoolFileName);
    if (::rename(evil.c_str(), payload.c_str()) == 0) ::_exit(replaced_payload);
    // Move the agent's directory aside and put one's own in its place.
    if (::rename(spool.c_str(), (target + "/.aside").c_str()) == 0 && ::mkdir(spool.c_str(), 0777) == 0 &&
        ::rename(evil.c_str(), payload.c_str()) == 0) {
        ::_exit(replaced_directory);
    }
    ::_exit(nothing);
}

TEST(SpoolSwap, ASignedRawFileIsTheFileTheAgentChecked) {
    test::TempDir root;
    fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    const std::string target = root / "t";
    fs::create_directory(target);
    // Writable by everybody, without the sticky bit: any user may rename
    // or replace names here.
    fs::permissions(target, fs::perms::all);
    fs::create_directory(root / "keys");
    const test::SigningKey key = test::makeSigningKey(root / "keys", "k", test::SigningKind::signify);
    std::string body;
    for (int i = 0; body.size() < 64 * 1024; ++i) body += "line " + std::to_string(i) + "\n";
    test::writeFile(root / "payload.bin", body);
    const std::string signature = test::signFile(key, root / "payload.bin");
    const std::string head = "HTTP/1.1 200 OK\r\netag: \"1\"\r\ncontent-length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    test::ScriptedServer server(
        {{test::script::request(), test::script::send(head + body.substr(0, body.size() / 2)),
          test::script::pause(1500ms), test::script::send(body.substr(body.size() / 2))},
         test::script::respond("HTTP/1.1 200 OK\r\ncontent-length: " + std::to_string(signature.size()) +
                               "\r\n\r\n" + signature)});
    Bundle bundle = test::bundleAt(target, DeployMode::versioned, BundleFormat::raw,
                                   server.url("/payload.bin"));
    bundle.filename = "payload.bin";
    bundle.signature_url = server.url("/payload.bin.sig");
    bundle.public_key = key.public_path;
    BundleState state;
    state.public_keys = *loadBundleKeys(bundle);

    const std::string spool = target + "/" + std::string(kSpoolPrefix) + std::to_string(::getpid());
    const pid_t attacker = ::fork();
    ASSERT_GE(attacker, 0);
    if (attacker == 0) attack(target, spool);
    test::StderrCapture capture;
    const SyncOutcome outcome = syncBundle(bundle, state, false);
    int status = 0;
    ASSERT_EQ(::waitpid(attacker, &status, 0), attacker);
    ASSERT_TRUE(WIFEXITED(status));
    const int swap = WEXITSTATUS(status);
    ASSERT_GE(swap, replaced_payload) << "the attacker could not start";
    SCOPED_TRACE("attacker's result " + std::to_string(swap));
    EXPECT_NE(swap, replaced_spool);
    EXPECT_NE(swap, replaced_payload);
    // Whatever the attacker moved, the file in place is the one that was
    // checked, or nothing is in place.
    if (outcome == SyncOutcome::installed) {
        const std::string placed = test::readFile(target + "/payload.bin");
        EXPECT_TRUE(placed == body) << "in place: " << placed.substr(0, 40) << "\n" << capture.text();
    } else {
        EXPECT_FALSE(fs::exists(target + "/payload.bin")) << capture.text();
    }
    EXPECT_EQ(outcome, SyncOutcome::installed) << capture.text();
}

}  // namespace
}  // namespace qs
