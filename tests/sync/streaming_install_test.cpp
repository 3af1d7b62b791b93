// A payload installed while it downloads: a body that breaks off at any
// point leaves the live place, the stored ETag and the directory listing as
// they were, a body that is whole but bad is refused after being read, and
// the log reads exactly as if the body had been downloaded first.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/archive.hpp"
#include "support/bundles.hpp"
#include "support/scripted_server.hpp"
#include "support/signing.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "sync/signature_check.hpp"
#include "sync/sync_bundle.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t at = 0; at + 8 <= size; at += 8) {
        const std::uint64_t word = random();
        std::memcpy(bytes.data() + at, &word, 8);
    }
    return bytes;
}

// A few large files that do not compress, archived by GNU tar.
std::string largeArchive(std::size_t file_size, int files, unsigned seed) {
    test::TempDir tree;
    fs::create_directory(tree / "data");
    for (int f = 0; f < files; ++f)
        test::writeFile(tree / ("data/part" + std::to_string(f)), randomBytes(file_size, seed + f));
    return test::gzip(test::gnuTarOf(tree.str()), 0);
}

std::string okResponse(std::string_view etag, std::string_view body) {
    return "HTTP/1.1 200 OK\r\netag: " + std::string(etag) +
           "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

// Everything below a directory: names, link targets and file contents.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(e.path(), dir).string();
        if (e.is_symlink()) {
            tree[name] = "-> " + fs::read_symlink(e.path()).string();
        } else if (e.is_regular_file()) {
            tree[name] = test::readFile(e.path().string());
        } else {
            tree[name] = "<dir>";
        }
    }
    return tree;
}

Bundle bundleFor(const std::string& target_dir, DeployMode mode, BundleFormat format,
                 const std::string& url) {
    Bundle b = test::bundleAt(target_dir, mode, format, url);
    if (format == BundleFormat::raw) b.filename = "payload.bin";
    return b;
}

struct Mode {
    const char* name;
    DeployMode mode;
    BundleFormat format;
};
constexpr Mode kModes[] = {
    {"versioned", DeployMode::versioned, BundleFormat::archive},
    {"direct", DeployMode::direct, BundleFormat::archive},
    {"raw", DeployMode::versioned, BundleFormat::raw},
};

std::string syncOnce(const Bundle& bundle, BundleState& state) {
    test::StderrCapture capture;
    syncBundle(bundle, state, false);
    return capture.text();
}

// Installs a first payload so that there is a live place to protect.
void installFirst(const Bundle& templ, BundleState& state) {
    test::ScriptedServer server({test::script::respond(okResponse(
        "\"old\"", test::makeTarGz({test::fileEntry("README", "old payload")})))});
    Bundle bundle = templ;
    bundle.url = server.url("/b");
    const std::string log = syncOnce(bundle, state);
    ASSERT_EQ(state.etag, "\"old\"") << log;
}

TEST(StreamingInstall, BodyCutAnywhereChangesNothing) {
    const std::string body = largeArchive(3 << 20, 3, 1);
    for (const Mode& mode : kModes) {
        for (const int percent : {10, 50, 99}) {
            SCOPED_TRACE(std::string(mode.name) + " cut at " + std::to_string(percent) + "%");
            test::TempDir t;
            Bundle bundle = bundleFor(t.str(), mode.mode, mode.format, "");
            BundleState state;
            installFirst(bundle, state);
            const auto before = snapshot(t.str());

            const std::size_t sent = body.size() * static_cast<std::size_t>(percent) / 100;
            const std::string head = "HTTP/1.1 200 OK\r\netag: \"new\"\r\ncontent-length: " +
                                     std::to_string(body.size()) + "\r\n\r\n";
            test::ScriptedServer server(
                {{test::script::request(), test::script::send(head + body.substr(0, sent))}});
            bundle.url = server.url("/b");
            const std::string log = syncOnce(bundle, state);

            EXPECT_EQ(log,
                      "error(http): failed to read response body: error.ReadFailed\n"
                      "error(quillstead): [b] fetch failed: body read failed\n");
            EXPECT_EQ(snapshot(t.str()), before);
            EXPECT_EQ(state.etag, "\"old\"");

            // A target_dir that only this cycle made goes again.
            BundleState fresh;
            bundle.target_dir = t / "fresh";
            test::ScriptedServer again(
                {{test::script::request(), test::script::send(head + body.substr(0, sent))}});
            bundle.url = again.url("/b");
            (void)syncOnce(bundle, fresh);
            EXPECT_FALSE(fs::exists(t / "fresh"));
        }
    }
}

// A whole body that fails its gzip trailer is read to its end, then refused:
// the staging directory goes and the live version stays.
TEST(StreamingInstall, BadTrailerOnALargeBodyDiscardsTheStaging) {
    std::string body = largeArchive(25 << 20, 4, 7);
    ASSERT_GT(body.size(), 100u << 20);
    body[body.size() - 6] ^= 0x5a;  // inside the trailer's CRC-32

    test::TempDir t;
    Bundle bundle = bundleFor(t.str(), DeployMode::versioned, BundleFormat::archive, "");
    BundleState state;
    installFirst(bundle, state);
    const auto before = snapshot(t.str());

    test::ScriptedServer server({test::script::respond(okResponse("\"new\"", body))});
    bundle.url = server.url("/b");
    const std::string log = syncOnce(bundle, state);
    EXPECT_EQ(log, "info(http): 200 OK, " + std::to_string(body.size()) + " bytes, etag=\"new\"\n"
                   "info(quillstead): [b] new version: new (" + std::to_string(body.size()) +
                   " bytes)\n"
                   "error(bundle): tar iteration error: error.ReadFailed\n"
                   "error(quillstead): [b] bundle apply failed: error.TarParseFailed\n");
    EXPECT_EQ(snapshot(t.str()), before);
    EXPECT_EQ(state.etag, "\"old\"");
}

// What the install says while the body still arrives comes after the
// fetch's lines, in the order a body read first would give.
TEST(StreamingInstall, LinesKeepTheirOrder) {
    const std::string good = test::makeTarGz({test::dirEntry("conf"),
                                              test::fileEntry("conf/a", "a"),
                                              test::fileEntry("b", "b")});
    const std::string plain_tar = test::makeTar({test::fileEntry("x", "1")});
    const std::string midway_failure =
        test::makeTarGz({test::fileEntry("a", "1"), test::fileEntry("b/c/d", "2")});
    struct Case {
        const char* name;
        Mode mode;
        std::string body;
        bool target_dir_missing_parent;
        std::string log;  // after the two fetch lines; {t} is target_dir
    };
    const Case cases[] = {
        {"versioned", kModes[0], good, false,
         "info(bundle): extracted 2 file(s) to {t}/vnew\n"
         "info(bundle): current -> vnew\n"
         "info(bundle): removed old dir: vold\n"
         "info(quillstead): [b] installed version new\n"},
        {"direct", kModes[1], good, false,
         "info(bundle): extracted 2 file(s) to {t} (direct)\n"
         "info(quillstead): [b] installed version new\n"},
        {"raw", kModes[2], good, false,
         "info(bundle): wrote " + std::to_string(good.size()) + " bytes to {t}/payload.bin (raw)\n"
         "info(quillstead): [b] installed version new\n"},
        {"versioned, not gzip", kModes[0], plain_tar, false,
         "error(bundle): tar iteration error: error.ReadFailed\n"
         "error(quillstead): [b] bundle apply failed: error.TarParseFailed\n"},
        {"versioned, failing midway", kModes[0], midway_failure, false,
         "error(bundle): failed to create subdir for b/c/d: error.FileNotFound\n"
         "error(quillstead): [b] bundle apply failed: error.MakePath\n"},
        {"direct, not gzip", kModes[1], plain_tar, false,
         "error(bundle): tar iteration error: error.ReadFailed\n"
         "error(bundle): {t} left as it was: nothing was moved into it (direct mode)\n"
         "error(quillstead): [b] bundle apply failed: error.TarParseFailed\n"},
        {"versioned, target_dir not makeable", kModes[0], good, true,
         "error(quillstead): [b] failed to create target_dir {t}: error.FileNotFound\n"},
        {"raw, target_dir not makeable", kModes[2], good, true,
         "error(quillstead): [b] failed to create target_dir {t}: error.FileNotFound\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir root;
        const std::string t = c.target_dir_missing_parent ? root / "missing/t" : root.str();
        Bundle bundle = bundleFor(t, c.mode.mode, c.mode.format, "");
        BundleState state;
        if (!c.target_dir_missing_parent) installFirst(bundle, state);

        test::ScriptedServer server({test::script::respond(okResponse("\"new\"", c.body))});
        bundle.url = server.url("/b");
        std::string expected = "info(http): 200 OK, " + std::to_string(c.body.size()) +
                               " bytes, etag=\"new\"\n"
                               "info(quillstead): [b] new version: new (" +
                               std::to_string(c.body.size()) + " bytes)\n" + c.log;
        for (std::size_t at = 0; (at = expected.find("{t}", at)) != std::string::npos;)
            expected.replace(at, 3, t);
        EXPECT_EQ(syncOnce(bundle, state), expected);
        if (!c.target_dir_missing_parent) {
            for (const auto& e : fs::directory_iterator(t))
                EXPECT_FALSE(e.path().filename().string().starts_with(".")
                             && e.path().filename() != ".etag")
                    << e.path();
        }
    }
}

// An Ed25519 key's check begins with half the signature, so the signature
// is fetched as soon as the payload answers, before its body is read: the
// signature's server here answers only during the first half of the
// payload's pause. The lines read as they did when the signature came
// after the body.
TEST(StreamingInstall, Ed25519SignatureIsFetchedBeforeTheBody) {
    struct Kind {
        const char* name;
        test::SigningKind kind;
        const char* algorithm;
    };
    const Kind kinds[] = {{"signify", test::SigningKind::signify, "signify Ed25519"},
                          {"pem", test::SigningKind::ed25519, "Ed25519"}};
    for (const Kind& kind : kinds) {
        for (const Mode& mode : kModes) {
            SCOPED_TRACE(std::string(kind.name) + ", " + mode.name);
            test::TempDir root;
            const std::string t = root / "t";
            fs::create_directory(root / "keys");
            const test::SigningKey key = test::makeSigningKey(root / "keys", "k", kind.kind);
            const std::string body = largeArchive(300000, 2, 11);
            test::writeFile(root / "payload", body);
            const std::string signature = test::signFile(key, root / "payload");
            const std::string head = "HTTP/1.1 200 OK\r\netag: \"new\"\r\ncontent-length: " +
                                     std::to_string(body.size()) + "\r\n\r\n";
            test::ScriptedServer payload_server(
                {{test::script::request(), test::script::send(head + body.substr(0, 1000)),
                  test::script::pause(1600ms), test::script::send(body.substr(1000))}});
            test::ScriptedServer signature_server(
                {test::script::respond("HTTP/1.1 200 OK\r\ncontent-length: " +
                                       std::to_string(signature.size()) + "\r\n\r\n" + signature)},
                {.lifetime = 800ms});
            Bundle bundle = bundleFor(t, mode.mode, mode.format, payload_server.url("/b"));
            bundle.signature_url = signature_server.url("/b.sig");
            bundle.public_key = key.public_path;
            // A signature asked for late meets a server that no longer
            // answers, and gives up.
            bundle.options.io_timeout = 2;
            BundleState state;
            state.public_keys = *loadBundleKeys(bundle);

            test::StderrCapture capture;
            EXPECT_EQ(syncBundle(bundle, state, false), SyncOutcome::installed);
            const std::string log = capture.text();
            const std::string fetched =
                "info(http): 200 OK, " + std::to_string(body.size()) + " bytes, etag=\"new\"\n"
                "info(http): 200 OK, " + std::to_string(signature.size()) + " bytes, etag=\n"
                "info(quillstead): [b] signature verified (" + kind.algorithm + ")\n"
                "info(quillstead): [b] new version: new (" + std::to_string(body.size()) + " bytes)\n";
            EXPECT_TRUE(log.starts_with(fetched)) << log;
            EXPECT_TRUE(log.ends_with("info(quillstead): [b] installed version new\n")) << log;
            EXPECT_EQ(state.etag, "\"new\"");
        }
    }
}

}  // namespace
}  // namespace qs
