// The built agent against nginx with signed metadata beside the payload:
// the metadata printed by the agent's own `metadata` command (or written
// here when a case needs a field the command would not write), signed by
// signify-openbsd or openssl at test time. Each attack a server, mirror or
// cache can mount with files that were once validly signed is refused, and
// leaves the live version as it was.

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <functional>

#include "formats/bundle_metadata.hpp"
#include "support/agent_run.hpp"
#include "support/nginx_server.hpp"
#include "support/process.hpp"
#include "support/signing.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

class SignedMetadata : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
        std::filesystem::create_directories(dir_ / "www");
        std::filesystem::create_directories(dir_ / "src");
        std::filesystem::create_directories(dir_ / "keys");
    }

    [[nodiscard]] std::string payload() const { return dir_ / "www/site.tar.gz"; }
    [[nodiscard]] std::string metadata() const { return dir_ / "www/site.meta"; }
    [[nodiscard]] std::string target() const { return dir_ / "site"; }

    // A new archive with `index` as its one file, its mtime moved on so
    // that nginx's ETag changes within the same second.
    void publishPayload(const std::string& index) {
        writeFile(dir_ / "src/index.html", index);
        makeTarGz(dir_ / "src", payload());
        touch(payload());
    }

    void touch(const std::string& path) { setTimesAhead(path, ++published_); }

    // The metadata of the payload as published, printed by the agent's
    // publisher command, then signed with `key`.
    void publishMetadata(const SigningKey& key, std::uint64_t serial, const std::string& bundle = "site",
                         const std::string& expires = "1d") {
        RunOptions options;
        options.args = {"metadata", "--bundle", bundle, "--serial", std::to_string(serial), "--expires",
                        expires, payload()};
        const ProcessResult printed = runProcess(quillsteadBinary(), options);
        ASSERT_EQ(printed.exit_status, 0) << printed.err;
        writeSigned(key, printed.out);
    }

    void writeSigned(const SigningKey& key, const std::string& text) {
        writeFile(metadata(), text);
        touch(metadata());
        signFile(key, metadata());
    }

    // The published metadata as fields, to write one the command would not.
    [[nodiscard]] BundleMetadata published() const {
        auto parsed = parseBundleMetadata(readFile(metadata()));
        EXPECT_TRUE(parsed);
        return parsed.value_or(BundleMetadata{});
    }

    std::string config(const std::string& public_key, const std::string& extra = "") {
        const std::string path = dir_ / "agent.conf";
        writeFile(path, "[bundle.site]\nurl = " + server_->url("/site.tar.gz") + "\ntarget_dir = " +
                            target() + "\npoll_interval = 1\npublic_key = " + public_key +
                            "\nmetadata_url = site.meta\n" + extra);
        return path;
    }

    ProcessResult once(const std::string& conf) {
        RunOptions options;
        options.args = {"-c", conf, "once"};
        options.timeout = 30s;
        return runProcess(quillsteadBinary(), options);
    }

    // Keeps a published payload, metadata and signature to serve again later.
    struct Copy {
        std::string payload, metadata, signature;
    };
    [[nodiscard]] Copy keep() const {
        return {readFile(payload()), readFile(metadata()), readFile(metadata() + ".sig")};
    }
    void serve(const Copy& copy) {
        writeFile(payload(), copy.payload);
        writeFile(metadata(), copy.metadata);
        writeFile(metadata() + ".sig", copy.signature);
        touch(payload());
        touch(metadata());
    }

    struct Installed {
        std::string current;
        std::string index;
        std::vector<std::string> entries;
        bool operator==(const Installed&) const = default;
    };
    [[nodiscard]] Installed installed() const {
        return {linkTarget(target() + "/current"), readFile(target() + "/current/index.html"),
                listDir(target())};
    }

    TempDir dir_;
    std::optional<NginxServer> server_;
    int published_ = 0;
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(SignedMetadata, EveryAttackWithOnceSignedFilesIsRefusedAndTheLiveVersionStays) {
    server_.emplace(dir_ / "www");
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::signify);
    const std::string conf = config(key.public_path);

    publishPayload("<p>one</p>\n");
    publishMetadata(key, 100);
    const Copy first = keep();
    ProcessResult result = once(conf);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("[site] metadata signature verified (signify Ed25519)"), std::string::npos)
        << result.err;
    EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>one</p>\n");
    // The metadata vouches for the payload: its own signature is never asked for.
    EXPECT_EQ(server_->accessLog().find("site.tar.gz.sig"), std::string::npos) << server_->accessLog();

    publishPayload("<p>two</p>\n");
    publishMetadata(key, 200);
    result = once(conf);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const Installed live = installed();
    ASSERT_EQ(live.index, "<p>two</p>\n");
    const Copy second = keep();

    // Published again unchanged: the metadata says so, the payload is not fetched.
    const std::size_t payload_gets = count(server_->accessLog(), "GET /site.tar.gz HTTP");
    result = once(conf);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("[site] unchanged"), std::string::npos) << result.err;
    EXPECT_EQ(count(server_->accessLog(), "GET /site.tar.gz HTTP"), payload_gets);

    struct Case {
        std::string name;
        std::function<void()> publish;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"replay of the older payload with its older metadata", [&] { serve(first); },
         "error(quillstead): [site] metadata refused: serial 100 is older than the installed 200"},
        {"another payload under the installed serial",
         [&] {
             publishPayload("<p>forked</p>\n");
             publishMetadata(key, 200);
         },
         "error(quillstead): [site] metadata refused: serial 200 names another payload than the installed one"},
        {"a payload signed for another bundle",
         [&] {
             publishPayload("<p>staging</p>\n");
             publishMetadata(key, 300, "staging");
         },
         "error(quillstead): [site] metadata refused: bundle 'staging' is not 'site'"},
        {"a frozen server: the installed metadata past its expiry",
         [&] {
             serve(second);
             BundleMetadata old = published();
             old.expires = std::time(nullptr) - 3600;
             writeSigned(key, formatBundleMetadata(old));
         },
         "error(quillstead): [site] metadata expired at "},
        {"a payload whose digest is not the metadata's",
         [&] {
             publishPayload("<p>three</p>\n");
             publishMetadata(key, 300);
             std::string bytes = readFile(payload());
             bytes[bytes.size() / 2] ^= 0x20;
             writeFile(payload(), bytes);
         },
         "error(quillstead): [site] payload refused: sha256 "},
        {"a payload larger than its metadata says",
         [&] {
             publishPayload("<p>four</p>\n");
             publishMetadata(key, 300);
             writeFile(payload(), readFile(payload()) + std::string(100, 'x'));
         },
         "error(quillstead): [site] fetch failed: payload over the size in its metadata"},
        {"a metadata file with a line the agent does not know",
         [&] {
             publishPayload("<p>five</p>\n");
             publishMetadata(key, 300);
             writeSigned(key, readFile(metadata()) + "mirror: trusted\n");
         },
         "error(quillstead): [site] metadata refused: error.MetadataLineUnknown"},
        {"a metadata signed by another key",
         [&] {
             publishPayload("<p>six</p>\n");
             publishMetadata(makeSigningKey(dir_ / "keys", "other", SigningKind::signify), 300);
         },
         "error(quillstead): [site] signature check failed: metadata error.SignatureKeyNumberMismatch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.publish();
        result = once(conf);
        EXPECT_EQ(result.exit_status, 2) << result.err;
        EXPECT_NE(result.err.find(c.line), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("installed version"), std::string::npos) << result.err;
        EXPECT_EQ(installed(), live);
    }

    // A good publication still goes through.
    publishPayload("<p>seven</p>\n");
    publishMetadata(key, 700);
    result = once(conf);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>seven</p>\n");
}

// The payload over its announced size is not read to its end: nginx logs
// how much it could send before the agent closed the connection.
TEST_F(SignedMetadata, ADownloadStopsAtTheSizeInTheMetadata) {
    server_.emplace(dir_ / "www");
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::signify);
    publishPayload("<p>small</p>\n");
    publishMetadata(key, 1);
    // 32 MiB that gzip cannot shrink, far more than the socket buffers hold.
    shell("head -c 33554432 /dev/urandom > '" + payload() + "'");
    const ProcessResult result = once(config(key.public_path));
    EXPECT_EQ(result.exit_status, 2) << result.err;
    EXPECT_NE(result.err.find("fetch failed: payload over the size in its metadata"), std::string::npos)
        << result.err;
    const std::string log = server_->accessLog();
    const std::size_t line = log.find("GET /site.tar.gz HTTP/1.1 200 ");
    ASSERT_NE(line, std::string::npos) << log;
    const std::uint64_t sent = std::stoull(log.substr(line + std::string("GET /site.tar.gz HTTP/1.1 200 ").size()));
    EXPECT_LT(sent, 33554432u / 2) << log;
    EXPECT_FALSE(std::filesystem::exists(target() + "/current"));
}

// A daemon polling a server that stops publishing: every poll gets 304 for
// the metadata, and once the last signed expiry passes the bundle fails
// while the live version stays.
TEST_F(SignedMetadata, A304StillChecksTheExpiry) {
    server_.emplace(dir_ / "www");
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::p256);
    publishPayload("<p>one</p>\n");
    publishMetadata(key, 1, "site", "4s");
    const std::string conf = config(key.public_path, "[global]\nstate_dir = " + (dir_ / "state") +
                                                         "\nmetrics_file = " + (dir_ / "metrics.prom") + "\n");
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", conf}});
    EXPECT_TRUE(agent.waitForStderr("error(quillstead): [site] metadata expired at ", 20s)) << agent.stderrSoFar();
    agent.signal(SIGTERM);
    const ProcessResult result = agent.wait(10s);
    EXPECT_NE(result.err.find("installed version"), std::string::npos) << result.err;
    EXPECT_NE(server_->accessLog().find("GET /site.meta HTTP/1.1 304"), std::string::npos) << server_->accessLog();
    EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>one</p>\n");
    EXPECT_NE(readFile(dir_ / "state/site.json").find("\"expired\""), std::string::npos)
        << readFile(dir_ / "state/site.json");
    EXPECT_NE(readFile(dir_ / "metrics.prom").find("quillstead_metadata_expired{bundle=\"site\"} 1"),
              std::string::npos)
        << readFile(dir_ / "metrics.prom");
}

// Rotation without a flag day: agents trust A; then A and B while the
// publisher switches to B; then B alone, and A's signatures stop counting.
TEST_F(SignedMetadata, KeysRotateFromAThroughBothToB) {
    server_.emplace(dir_ / "www");
    const SigningKey a = makeSigningKey(dir_ / "keys", "a", SigningKind::ed25519);
    const SigningKey b = makeSigningKey(dir_ / "keys", "b", SigningKind::signify);
    struct Step {
        std::string name;
        std::string public_key;
        const SigningKey& signer;
        int exit_status;
        std::string line;
    };
    const Step steps[] = {
        {"A trusted, A signs", a.public_path, a, 0, "metadata signature verified (Ed25519)"},
        {"A and B trusted, A still signs", a.public_path + ", " + b.public_path, a, 0,
         "metadata signature verified (Ed25519)"},
        {"A and B trusted, B signs", a.public_path + "," + b.public_path, b, 0,
         "metadata signature verified (signify Ed25519)"},
        {"B trusted, A's signature refused", b.public_path, a, 2, "signature check failed: metadata error."},
        {"B trusted, B signs", b.public_path, b, 0, "metadata signature verified (signify Ed25519)"},
    };
    std::uint64_t serial = 1;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        publishPayload("<p>" + step.name + "</p>\n");
        publishMetadata(step.signer, serial++);
        const ProcessResult result = once(config(step.public_key));
        EXPECT_EQ(result.exit_status, step.exit_status) << result.err;
        EXPECT_NE(result.err.find(step.line), std::string::npos) << result.err;
        if (step.exit_status == 0) {
            EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>" + step.name + "</p>\n");
        }
    }
}

// The operator's rollback stands: the release rolled back from is not
// installed again by the next poll, only a later publication is.
TEST_F(SignedMetadata, ARollbackHoldsUntilAHigherSerial) {
    server_.emplace(dir_ / "www");
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::signify);
    const std::string conf = config(key.public_path, "keep_versions = 3\n");
    publishPayload("<p>one</p>\n");
    publishMetadata(key, 1);
    ASSERT_EQ(once(conf).exit_status, 0);
    publishPayload("<p>two</p>\n");
    publishMetadata(key, 2);
    ASSERT_EQ(once(conf).exit_status, 0);
    ASSERT_EQ(readFile(target() + "/current/index.html"), "<p>two</p>\n");

    RunOptions rollback;
    rollback.args = {"-c", conf, "rollback", "site"};
    ASSERT_EQ(runProcess(quillsteadBinary(), rollback).exit_status, 0);
    ASSERT_EQ(readFile(target() + "/current/index.html"), "<p>one</p>\n");

    ProcessResult result = once(conf);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("[site] keeping the rolled-back version: serial 2 is not above the highest installed 2"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>one</p>\n");

    publishPayload("<p>three</p>\n");
    publishMetadata(key, 3);
    result = once(conf);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(readFile(target() + "/current/index.html"), "<p>three</p>\n");
}

}  // namespace
}  // namespace qs::test
