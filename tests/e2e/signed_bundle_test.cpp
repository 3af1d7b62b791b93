// The built agent with signed bundles on nginx: keys and signatures made by
// signify-openbsd and openssl at test time. A payload installs only with a
// signature of its own key over its exact bytes; every other case leaves
// `current`, the installed files and the stored ETag as they were.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <unistd.h>

#include "support/agent_run.hpp"
#include "support/nginx_server.hpp"
#include "support/process.hpp"
#include "support/signing.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

class SignedBundle : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
        std::filesystem::create_directories(dir_ / "www");
        std::filesystem::create_directories(dir_ / "src");
        std::filesystem::create_directories(dir_ / "keys");
    }

    // Writes a new archive with `index` as its one file and moves its mtime
    // on, so nginx's ETag changes within the same second.
    void publish(const std::string& index) {
        writeFile(dir_ / "src/index.html", index);
        makeTarGz(dir_ / "src", dir_ / "www/site.tar.gz");
        touchPayload();
    }
    void touchPayload() {
        setTimesAhead(dir_ / "www/site.tar.gz", ++published_);
    }

    std::string config(const NginxServer& server, const SigningKey& key,
                       const std::string& url_path = "/site.tar.gz",
                       const std::string& extra = "") {
        const std::string path = dir_ / "agent.conf";
        writeFile(path, "[bundle.site]\nurl = " + server.url(url_path) + "\ntarget_dir = " +
                            target() + "\npoll_interval = 3600\npublic_key = " + key.public_path +
                            "\n" + extra);
        return path;
    }

    [[nodiscard]] std::string target() const { return dir_ / "site"; }

    // Runs the agent until `line` shows, then stops it.
    static ProcessResult runUntil(const std::string& config, const std::string& line) {
        RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
        EXPECT_TRUE(agent.waitForStderr(line, 15s)) << agent.stderrSoFar();
        agent.signal(SIGTERM);
        return agent.wait(10s);
    }

    // What a refused payload must leave untouched.
    struct Installed {
        std::string current;
        std::string etag;
        std::string index;
        std::vector<std::string> entries;
        bool operator==(const Installed&) const = default;
    };
    [[nodiscard]] Installed installed() const {
        return {linkTarget(target() + "/current"), readFile(target() + "/.etag"),
                readFile(target() + "/current/index.html"), listDir(target())};
    }

    TempDir dir_;
    int published_ = 0;
};

TEST_F(SignedBundle, OnlyAGoodSignatureInstallsAndEveryBadOneChangesNothing) {
    NginxServer server(dir_ / "www");
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::signify);
    const SigningKey other = makeSigningKey(dir_ / "keys", "other", SigningKind::signify);
    publish("<p>one</p>\n");
    const std::string first_signature = signFile(key, dir_ / "www/site.tar.gz");
    // The query stays after the path's ".sig" and nginx ignores it.
    const std::string conf = config(server, key, "/site.tar.gz?channel=stable");

    const ProcessResult good = runUntil(conf, "info(bundle): current -> v");
    EXPECT_NE(good.err.find("mode=versioned signed\n"), std::string::npos) << good.err;
    EXPECT_NE(good.err.find("info(quillstead): [site] signature verified (signify Ed25519)"),
              std::string::npos)
        << good.err;
    EXPECT_NE(server.accessLog().find("GET /site.tar.gz.sig?channel=stable HTTP/1.1 200"),
              std::string::npos)
        << server.accessLog();
    const Installed before = installed();
    ASSERT_EQ(before.index, "<p>one</p>\n");

    // Each row publishes a second payload with a signature file that must not
    // pass; `expected` ends the "signature check failed: " line.
    struct Case {
        std::string name;
        std::function<void()> sign;
        std::string expected;
    };
    const std::string payload = dir_ / "www/site.tar.gz";
    const std::string signature = payload + ".sig";
    const std::vector<Case> cases = {
        {"flipped payload byte",
         [&] {
             signFile(key, payload);
             std::string bytes = readFile(payload);
             bytes[bytes.size() / 2] ^= 0x20;
             writeFile(payload, bytes);
         },
         "error.SignatureMismatch"},
        {"other key", [&] { signFile(other, payload); }, "error.SignatureKeyNumberMismatch"},
        {"other key under this key's number",
         [&] {
             // The number is copied from a genuine signature of this key,
             // the signature bytes are the other key's.
             const std::string own = signFile(key, payload);
             std::string forged = signFile(other, payload);
             const std::size_t own_line = own.find('\n') + 1;
             const std::size_t forged_line = forged.find('\n') + 1;
             // 16 base64 characters are 12 bytes: "Ed", the key number and
             // the first two signature bytes.
             forged.replace(forged_line, 16, own.substr(own_line, 16));
             writeFile(signature, forged);
         },
         "error.SignatureMismatch"},
        {"truncated signature",
         [&] {
             const std::string whole = signFile(key, payload);
             writeFile(signature, whole.substr(0, whole.size() / 2));
         },
         "error."},
        {"missing signature",
         [&] { std::filesystem::remove(signature); },
         "signature fetch failed: HTTP 404"},
        {"signature of the previous version", [&] { writeFile(signature, first_signature); },
         "error.SignatureMismatch"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        publish("<p>case " + std::to_string(i) + "</p>\n");
        c.sign();
        const ProcessResult refused =
            runUntil(conf, "error(quillstead): [site] signature check failed: ");
        EXPECT_NE(refused.err.find("error(quillstead): [site] signature check failed: " + c.expected),
                  std::string::npos)
            << refused.err;
        EXPECT_EQ(refused.err.find("new version:"), std::string::npos) << refused.err;
        EXPECT_EQ(installed(), before);
    }

    // Once a good signature is published, the next poll installs.
    publish("<p>two</p>\n");
    signFile(key, payload);
    runUntil(conf, "info(bundle): current -> v");
    EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>two</p>\n");
    EXPECT_NE(readFile(target() + "/.etag"), before.etag);
}

TEST_F(SignedBundle, PemKeysOfEachAlgorithmInstallWithTheirOwnSignatures) {
    NginxServer server(dir_ / "www");
    struct Case {
        std::string_view name;
        SigningKind kind;
        std::string_view algorithm;
    };
    const Case cases[] = {
        {"p256", SigningKind::p256, "ECDSA P-256"},
        {"rsa2048", SigningKind::rsa2048, "RSA"},
        {"ed25519", SigningKind::ed25519, "Ed25519"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SigningKey key = makeSigningKey(dir_ / "keys", c.name, c.kind);
        publish("<p>" + std::string(c.name) + "</p>\n");
        signFile(key, dir_ / "www/site.tar.gz");
        const ProcessResult result = runUntil(config(server, key), "info(bundle): current -> v");
        EXPECT_NE(result.err.find("signature verified (" + std::string(c.algorithm) + ")"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>" + std::string(c.name) + "</p>\n");
    }
}

// A key list may mix keys that sign a digest (checked over the digest taken
// while the payload was spooled) with Ed25519 ones (checked over the spool):
// whichever key signed, in whatever place of the list, the payload installs.
TEST_F(SignedBundle, KeyListsMixingDigestAndEd25519KeysVerifyWhicheverSigned) {
    NginxServer server(dir_ / "www");
    struct Case {
        std::string_view name;
        SigningKind listed_first;
        SigningKind listed_second;
        bool second_signs;
        std::string_view algorithm;
    };
    const Case cases[] = {
        {"p256 listed, signify signs", SigningKind::p256, SigningKind::signify, true,
         "signify Ed25519"},
        {"signify listed, rsa signs", SigningKind::signify, SigningKind::rsa2048, true, "RSA"},
        {"p256 signs, ed25519 listed", SigningKind::p256, SigningKind::ed25519, false, "ECDSA P-256"},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(target());
        const std::string number = std::to_string(++row);
        const SigningKey first = makeSigningKey(dir_ / "keys", "first" + number, c.listed_first);
        const SigningKey second = makeSigningKey(dir_ / "keys", "second" + number, c.listed_second);
        publish("<p>" + std::string(c.name) + "</p>\n");
        signFile(c.second_signs ? second : first, dir_ / "www/site.tar.gz");
        SigningKey listed = first;
        listed.public_path = first.public_path + ", " + second.public_path;
        const ProcessResult result = runUntil(config(server, listed), "info(bundle): current -> v");
        EXPECT_NE(result.err.find("signature verified (" + std::string(c.algorithm) + ")"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>" + std::string(c.name) + "</p>\n");
    }
}

// Direct and raw bundles write where readers look: a signed payload is
// spooled beside its place, checked there and only then installed; a bad
// signature leaves the live files as they were and no spool behind.
TEST_F(SignedBundle, DirectAndRawPayloadsAreCheckedBeforeTheLivePlaceIsWritten) {
    NginxServer server(dir_ / "www");
    const SigningKey key = makeSigningKey(dir_ / "keys", "site", SigningKind::signify);
    const SigningKey other = makeSigningKey(dir_ / "keys", "other", SigningKind::signify);
    const std::string payload = dir_ / "www/site.tar.gz";
    struct Case {
        std::string_view name;
        std::string extra;
        std::string live;  // the file a reader sees, below target_dir
        std::string installed_line;
    };
    const Case cases[] = {
        {"direct", "mode = direct\n", "index.html", "(direct)"},
        {"raw", "format = raw\nfilename = site.tar.gz\n", "site.tar.gz", "(raw)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(target());
        const std::string conf = config(server, key, "/site.tar.gz", c.extra);
        publish("<p>one</p>\n");
        signFile(key, payload);
        runUntil(conf, std::string(c.installed_line));
        const std::string live = readFile(target() + "/" + c.live);
        const std::vector<std::string> entries = listDir(target());

        publish("<p>two</p>\n");
        signFile(other, payload);
        const ProcessResult refused =
            runUntil(conf, "error(quillstead): [site] signature check failed: ");
        EXPECT_EQ(refused.err.find("new version:"), std::string::npos) << refused.err;
        EXPECT_EQ(readFile(target() + "/" + c.live), live);
        EXPECT_EQ(listDir(target()), entries);

        signFile(key, payload);
        runUntil(conf, std::string(c.installed_line));
        EXPECT_NE(readFile(target() + "/" + c.live), live);
        EXPECT_EQ(listDir(target()), entries);
    }
}

// With skip_identical a signed payload is compared by the digest taken once,
// while it is spooled: the same bytes under a new ETag are identical once
// their signature verified, new bytes install; for a key that signs a
// digest and for one that signs the payload, in each mode that spools.
TEST_F(SignedBundle, SkipIdenticalComparesTheSignedPayloadItSpooled) {
    NginxServer server(dir_ / "www");
    const std::string payload = dir_ / "www/site.tar.gz";
    struct Case {
        std::string_view name;
        SigningKind kind;
        std::string extra;
        std::string live;  // the file a reader sees, below target_dir
    };
    const Case cases[] = {
        {"p256", SigningKind::p256, "", "current/index.html"},
        {"signify", SigningKind::signify, "", "current/index.html"},
        {"rsa2048", SigningKind::rsa2048, "mode = direct\n", "index.html"},
        {"p384", SigningKind::p384, "format = raw\nfilename = site.tar.gz\n", "site.tar.gz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(target());
        const SigningKey key = makeSigningKey(dir_ / "keys", c.name, c.kind);
        const std::string conf = config(server, key, "/site.tar.gz", "skip_identical = yes\n" + c.extra);
        publish("<p>" + std::string(c.name) + " one</p>\n");
        signFile(key, payload);
        runUntil(conf, "] installed version ");
        const std::string live = readFile(target() + "/" + c.live);

        touchPayload();
        const ProcessResult same = runUntil(conf, "[site] unchanged (same payload, new etag)");
        EXPECT_NE(same.err.find("signature verified"), std::string::npos) << same.err;
        EXPECT_EQ(same.err.find("new version:"), std::string::npos) << same.err;
        EXPECT_EQ(readFile(target() + "/" + c.live), live);

        publish("<p>" + std::string(c.name) + " two</p>\n");
        signFile(key, payload);
        const ProcessResult changed = runUntil(conf, "] installed version ");
        EXPECT_EQ(changed.err.find("same payload"), std::string::npos) << changed.err;
        EXPECT_NE(readFile(target() + "/" + c.live), live);
    }
}

// How many bytes a running process has handed to write(2) and its kin, from
// /proc; nothing where the system has no such count.
std::optional<std::uint64_t> bytesWritten(int pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string field;
    std::uint64_t value = 0;
    while (io >> field >> value) {
        if (field == "wchar:") return value;
    }
    return std::nullopt;
}

// A payload whose signature does not verify is not even read as an archive:
// an archive that unpacks to 128 MiB from a few hundred KiB on the wire is
// offered with signatures that fail in each way, for a key checked over a
// digest taken while the body arrives and for one checked over the whole
// spool. The agent writes no more than the spool and its lines meanwhile:
// nothing was extracted, not even into a staging directory removed later.
TEST_F(SignedBundle, APayloadIsNotExtractedBeforeItsSignatureVerifies) {
    if (!bytesWritten(::getpid())) GTEST_SKIP() << "no /proc/PID/io here";
    NginxServer server(dir_ / "www");
    const std::string payload = dir_ / "www/site.tar.gz";
    constexpr std::uint64_t kUnpacked = 128ull << 20;
    runTool({"python3", sourceDir() + "/tests/support/make_bomb.py", "zeros",
             std::to_string(kUnpacked), payload});
    ASSERT_LT(readFile(payload).size(), kUnpacked / 64);
    struct Case {
        std::string_view name;
        SigningKind kind;
        // Writes the signature file beside the payload.
        std::function<void(const SigningKey& key, const SigningKey& other)> sign;
        std::string expected;
    };
    const std::string signature = payload + ".sig";
    const Case cases[] = {
        {"signify, another key", SigningKind::signify,
         [&](const SigningKey&, const SigningKey& other) { signFile(other, payload); },
         "error.SignatureKeyNumberMismatch"},
        {"signify, malformed", SigningKind::signify,
         [&](const SigningKey&, const SigningKey&) {
             writeFile(signature, "untrusted comment: none\nRWQ=\n");
         },
         "error.SignatureMalformed"},
        {"ECDSA P-256, another key", SigningKind::p256,
         [&](const SigningKey&, const SigningKey& other) { signFile(other, payload); },
         "error.SignatureMismatch"},
        {"RSA, malformed", SigningKind::rsa2048,
         [&](const SigningKey&, const SigningKey&) { writeFile(signature, "not a signature"); },
         "error.SignatureMalformed"},
        {"Ed25519, flipped signature byte", SigningKind::ed25519,
         [&](const SigningKey& key, const SigningKey&) {
             std::string bytes = signFile(key, payload);
             bytes[10] ^= 0x01;
             writeFile(signature, bytes);
         },
         "error.SignatureMismatch"},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(target());
        const std::string number = std::to_string(++row);
        const SigningKey key = makeSigningKey(dir_ / "keys", "key" + number, c.kind);
        const SigningKey other = makeSigningKey(dir_ / "keys", "other" + number, c.kind);
        touchPayload();
        c.sign(key, other);
        RunningProcess agent(quillsteadBinary(), {.args = {"-c", config(server, key)}});
        ASSERT_TRUE(agent.waitForStderr("error(quillstead): [site] signature check failed: ", 60s))
            << agent.stderrSoFar();
        const std::optional<std::uint64_t> written = bytesWritten(agent.pid());
        agent.signal(SIGTERM);
        const ProcessResult result = agent.wait(10s);
        EXPECT_NE(result.err.find("error(quillstead): [site] signature check failed: " + c.expected),
                  std::string::npos)
            << result.err;
        ASSERT_TRUE(written);
        EXPECT_LT(*written, kUnpacked / 8);
        EXPECT_EQ(listDir(target()), std::vector<std::string>{});
    }
}

// Key files that cannot be used stop only their own bundle, at start-up,
// with a line naming the file; a bundle with a good key still runs.
TEST_F(SignedBundle, UnusableKeyFilesSkipTheirBundleAtStartUp) {
    NginxServer server(dir_ / "www");
    const SigningKey good = makeSigningKey(dir_ / "keys", "good", SigningKind::signify);
    const SigningKey pem = makeSigningKey(dir_ / "keys", "pem", SigningKind::p256);
    publish("<p>signed</p>\n");
    signFile(good, dir_ / "www/site.tar.gz");
    runTool({"openssl", "req", "-x509", "-new", "-key", pem.secret_path, "-subj", "/CN=signer",
             "-days", "1", "-out", dir_ / "keys/certificate.pem"});
    const std::string signify_text = readFile(good.public_path);
    writeFile(dir_ / "keys/bad-base64.pub",
              std::string(signify_text).replace(signify_text.find('\n') + 3, 1, "!"));
    writeFile(dir_ / "keys/short.pub", signify_text.substr(0, signify_text.size() - 9) + "\n");

    struct Case {
        std::string name;
        std::string key_path;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"missing", dir_ / "keys/none.pub", "error.FileNotFound"},
        {"badbase64", dir_ / "keys/bad-base64.pub", "error.InvalidCharacter"},
        {"short", dir_ / "keys/short.pub", "error.KeyMalformed"},
        {"signifysecret", good.secret_path, "error.KeyIsPrivate"},
        {"pemprivate", pem.secret_path, "error.KeyIsPrivate"},
        {"certificate", dir_ / "keys/certificate.pem", "error.KeyIsCertificate"},
    };
    std::string text = "[bundle.site]\nurl = " + server.url("/site.tar.gz") + "\ntarget_dir = " +
                       target() + "\npoll_interval = 3600\npublic_key = " + good.public_path + "\n";
    for (const Case& c : cases) {
        text += "[bundle." + c.name + "]\nurl = " + server.url("/site.tar.gz") +
                "\ntarget_dir = " + (dir_ / c.name) + "\npoll_interval = 3600\npublic_key = " +
                c.key_path + "\n";
    }
    writeFile(dir_ / "agent.conf", text);
    const ProcessResult result = runUntil(dir_ / "agent.conf", "info(bundle): current -> v");
    EXPECT_EQ(result.exit_status, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(result.err.find("error(quillstead): [" + c.name + "] public_key " + c.key_path +
                                  " unusable: " + c.error + "; bundle skipped\n"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(result.err.find("[" + c.name + "] new version"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir_ / c.name));
    }
    EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>signed</p>\n");
    // Only the good bundle's payload and signature were asked for.
    const std::string log = server.accessLog();
    std::size_t requests = 0;
    for (std::size_t at = log.find("GET "); at != std::string::npos; at = log.find("GET ", at + 1))
        ++requests;
    EXPECT_EQ(requests, 2u) << log;
}

}  // namespace
}  // namespace qs::test
