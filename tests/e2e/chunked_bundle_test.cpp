// The built agent with chunked bundles: trees packed by GNU tar, indexes and
// chunk stores written by casync, served by nginx, installed by `once`.
// What shows: the payload installs in every mode, with and without a
// signature over the index; an update fetches only the chunks it lacks; a
// connection cut in the middle of the chunks leaves the live version and
// the chunks that arrived, so the next poll fetches only the rest; signed
// metadata that names the index stops a replayed, forged or frozen index
// before a chunk is fetched.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "formats/bundle_metadata.hpp"
#include "formats/chunk_index.hpp"
#include "support/agent_run.hpp"
#include "support/casync.hpp"
#include "support/nginx_server.hpp"
#include "support/process.hpp"
#include "support/signing.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

// Text that compresses like real files and cuts into many chunks.
std::string textOf(std::size_t size, std::uint32_t seed) {
    std::string out;
    out.reserve(size + 64);
    std::uint32_t x = seed;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += "line " + std::to_string(x % 40009) + " of " + std::to_string(x >> 7) + "\n";
    }
    out.resize(size);
    return out;
}

// The chunk paths an access log shows answered with 200, in order.
std::vector<std::string> chunksServed(const std::string& log) {
    std::vector<std::string> served;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t end = line.find(".cacnk HTTP/1.1 200 ");
        if (end == std::string::npos) continue;
        const std::size_t start = line.find(' ') + 1;
        served.push_back(line.substr(start, end + 6 - start));
    }
    return served;
}

std::size_t count(const std::string& text, std::string_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class ChunkedBundle : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available() || !haveCasync()) GTEST_SKIP() << "nginx or casync is not installed";
        std::filesystem::create_directories(dir_ / "www");
        std::filesystem::create_directories(dir_ / "tree/docs");
        std::filesystem::create_directories(dir_ / "keys");
    }

    // The tree as a plain tar (or, raw, one file), indexed into www/ with
    // its store at casync's default place beside the index; the index's
    // mtime moves on so that nginx's ETag changes within a second.
    void publish(bool raw = false, CasyncDigest digest = CasyncDigest::sha512_256) {
        const std::string blob = dir_ / "payload";
        if (raw) {
            writeFile(blob, readFile(dir_ / "tree/big.txt"));
        } else {
            ASSERT_TRUE(shell("tar -cf " + blob + " -C " + (dir_ / "tree") + " ."));
        }
        const std::string index = dir_ / "www/site.caibx";
        // Written beside and renamed into place, so nginx never serves half an index.
        ASSERT_TRUE(casyncMake(blob, dir_ / "new.caibx", dir_ / "www/default.castr",
                               {.digest = digest, .chunk_size = "4096:16384:65536"}));
        std::filesystem::rename(dir_ / "new.caibx", index);
        setTimesAhead(index, ++published_);
    }

    void writeTree(std::uint32_t seed) {
        writeFile(dir_ / "tree/big.txt", textOf(600000, seed));
        writeFile(dir_ / "tree/docs/readme.txt", "version " + std::to_string(seed) + "\n");
        writeFile(dir_ / "tree/docs/other.txt", textOf(200000, 99));
    }

    std::string config(const NginxServer& server, const std::string& extra) {
        const std::string path = dir_ / "agent.conf";
        writeFile(path, "[bundle.site]\nurl = " + server.url("/site.caibx") +
                            "\nformat = chunked\ntarget_dir = " + target() +
                            "\npoll_interval = 3600\n" + extra);
        return path;
    }

    static ProcessResult once(const std::string& config) {
        return runProcess(quillsteadBinary(), {.args = {"-c", config, "once"}});
    }

    [[nodiscard]] std::string target() const { return dir_ / "target"; }

    [[nodiscard]] std::size_t indexChunks() const {
        const auto index = parseChunkIndex(readFile(dir_ / "www/site.caibx"));
        return index ? index->chunks.size() : 0;
    }

    TempDir dir_;
    int published_ = 0;
};

TEST_F(ChunkedBundle, InstallsInEveryModeWithAndWithoutASignature) {
    struct Case {
        std::string name;
        std::string keys;  // the mode's lines of the bundle
        bool raw = false;
        bool is_signed = false;
        CasyncDigest digest = CasyncDigest::sha512_256;
        std::string installed;  // where big.txt ends up below target_dir
    };
    const std::vector<Case> cases = {
        {"versioned", "", false, false, CasyncDigest::sha512_256, "current/big.txt"},
        {"versioned signed, sha256 chunks", "", false, true, CasyncDigest::sha256, "current/big.txt"},
        {"direct", "mode = direct\n", false, false, CasyncDigest::sha512_256, "big.txt"},
        {"direct signed", "mode = direct\n", false, true, CasyncDigest::sha512_256, "big.txt"},
        {"raw", "filename = big.txt\n", true, false, CasyncDigest::sha256, "big.txt"},
        {"raw signed", "filename = big.txt\n", true, true, CasyncDigest::sha512_256, "big.txt"},
    };
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::signify);
    NginxServer server(dir_ / "www");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(target());
        std::filesystem::remove(dir_ / "www/site.caibx.sig");
        writeTree(1);
        publish(c.raw, c.digest);
        if (c.is_signed) signFile(key, dir_ / "www/site.caibx");
        const std::string conf =
            config(server, c.keys + (c.is_signed ? "public_key = " + key.public_path + "\n" : ""));

        const ProcessResult first = once(conf);
        EXPECT_EQ(first.exit_status, 0) << first.err;
        const std::size_t total = indexChunks();
        EXPECT_NE(first.err.find(" bytes, " + std::to_string(total) + " of " +
                                 std::to_string(total) + " chunks fetched, "),
                  std::string::npos)
            << first.err;
        if (c.is_signed) {
            EXPECT_NE(first.err.find("[site] signature verified (signify Ed25519)"), std::string::npos)
                << first.err;
        }
        EXPECT_EQ(readFile(target() + "/" + c.installed), textOf(600000, 1));
        if (!c.raw) {
            const std::string docs = target() + (c.installed == "big.txt" ? "" : "/current");
            EXPECT_EQ(readFile(docs + "/docs/readme.txt"), "version 1\n");
        }
        struct stat cache{};
        ASSERT_EQ(::stat((target() + "/.chunks").c_str(), &cache), 0);
        EXPECT_EQ(cache.st_mode & 0777, 0700u);

        // One file changed in place: the update fetches only the chunks
        // around the change, and the cache then holds the new payload's.
        writeFile(dir_ / "tree/big.txt", [] {
            std::string text = textOf(600000, 1);
            text.replace(300000, 5, "EDIT!");
            return text;
        }());
        publish(c.raw, c.digest);
        if (c.is_signed) signFile(key, dir_ / "www/site.caibx");
        const ProcessResult second = once(conf);
        EXPECT_EQ(second.exit_status, 0) << second.err;
        const std::size_t at = second.err.find("chunks fetched");
        ASSERT_NE(at, std::string::npos) << second.err;
        const std::size_t open = second.err.rfind('(', at);
        const std::string counts = second.err.substr(open, at - open);
        const std::size_t fetched = std::stoul(counts.substr(counts.find(", ") + 2));
        EXPECT_GE(fetched, 1u) << counts;
        EXPECT_LE(fetched, 3u) << counts;
        EXPECT_EQ(readFile(target() + "/" + c.installed).substr(300000, 5), "EDIT!");
        std::size_t cached = 0;
        for (const auto& entry : std::filesystem::directory_iterator(target() + "/.chunks"))
            cached += entry.path().extension() == ".cacnk";
        EXPECT_LE(cached, indexChunks());
    }
}

TEST_F(ChunkedBundle, ABadSignatureOrAnOversizedIndexFetchesNoChunk) {
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::signify);
    const SigningKey other = makeSigningKey(dir_ / "keys", "other", SigningKind::signify);
    NginxServer server(dir_ / "www");
    writeTree(1);
    publish();
    signFile(other, dir_ / "www/site.caibx");
    const ProcessResult refused = once(config(server, "public_key = " + key.public_path + "\n"));
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.err.find("error(quillstead): [site] signature check failed: "), std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.err.find("fetch failed"), std::string::npos) << refused.err;

    const ProcessResult over = once(config(server, "max_payload_bytes = 100000\n"));
    EXPECT_EQ(over.exit_status, 2);
    EXPECT_NE(over.err.find("error(quillstead): [site] fetch failed: payload over 100000 bytes"),
              std::string::npos)
        << over.err;
    EXPECT_TRUE(chunksServed(server.accessLog()).empty()) << server.accessLog();
    EXPECT_FALSE(std::filesystem::exists(target() + "/current"));
}

TEST_F(ChunkedBundle, ACutConnectionKeepsWhatArrivedAndTheNextPollFetchesOnlyTheRest) {
    writeTree(1);
    publish();
    const auto index = parseChunkIndex(readFile(dir_ / "www/site.caibx"));
    ASSERT_TRUE(index);
    ASSERT_GE(index->chunks.size(), 20u);
    const std::string cut_id = chunkIdHex(index->chunks[index->chunks.size() / 2].id);
    // While www/cut exists nginx closes the connection of that one chunk
    // without an answer.
    NginxServer server(
        dir_ / "www",
        {.server_directives = "location = /default.castr/" + cut_id.substr(0, 4) + "/" + cut_id +
                              ".cacnk {\n  if (-f $document_root/cut) { return 444; }\n}\n"});
    writeFile(dir_ / "www/cut", "");
    const std::string conf = config(server, "[global]\nstate_dir = " + (dir_ / "state") +
                                                "\nmetrics_file = " + (dir_ / "metrics.prom") + "\n");

    const ProcessResult cut = once(conf);
    EXPECT_EQ(cut.exit_status, 2);
    EXPECT_NE(cut.err.find("error(quillstead): [site] fetch failed: chunk " + cut_id + " "),
              std::string::npos)
        << cut.err;
    EXPECT_FALSE(std::filesystem::exists(target() + "/current"));
    EXPECT_FALSE(std::filesystem::exists(target() + "/.etag"));
    std::this_thread::sleep_for(200ms);  // nginx logs a request once it is done
    const std::vector<std::string> before = chunksServed(server.accessLog());
    EXPECT_FALSE(before.empty());

    std::filesystem::remove(dir_ / "www/cut");
    const ProcessResult rest = once(conf);
    EXPECT_EQ(rest.exit_status, 0) << rest.err;
    EXPECT_EQ(readFile(target() + "/current/big.txt"), textOf(600000, 1));
    std::this_thread::sleep_for(200ms);
    std::vector<std::string> after = chunksServed(server.accessLog());
    after.erase(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(before.size()));
    // Every chunk came exactly once over the two polls.
    std::set<std::string> unique(before.begin(), before.end());
    for (const std::string& path : after) EXPECT_TRUE(unique.insert(path).second) << path;
    std::set<std::string> wanted;
    for (const ChunkEntry& chunk : index->chunks) wanted.insert(chunkIdHex(chunk.id));
    EXPECT_EQ(unique.size(), wanted.size());
    EXPECT_EQ(before.size() + after.size(), wanted.size());
    EXPECT_NE(rest.err.find(" bytes, " + std::to_string(after.size()) + " of " +
                            std::to_string(index->chunks.size()) + " chunks fetched"),
              std::string::npos)
        << rest.err;
    EXPECT_EQ(count(rest.err, "installed version"), 1u) << rest.err;

    // The cache's size, as status and metrics report it, is what its chunks take.
    std::uintmax_t cached = 0;
    for (const auto& entry : std::filesystem::directory_iterator(target() + "/.chunks"))
        if (entry.is_regular_file()) cached += entry.file_size();
    EXPECT_NE(readFile(dir_ / "state/site.json").find("\"chunk_cache_bytes\":" + std::to_string(cached)),
              std::string::npos)
        << readFile(dir_ / "state/site.json");
    EXPECT_NE(readFile(dir_ / "metrics.prom")
                  .find("quillstead_chunk_cache_bytes{bundle=\"site\"} " + std::to_string(cached) + "\n"),
              std::string::npos)
        << readFile(dir_ / "metrics.prom");
}

// Signed metadata beside a chunked bundle names its index, as printed by
// the agent's own `metadata` command for the .caibx file: the index must
// hash to it before a chunk is asked for, and the index needs no signature
// of its own. A refused publication fetches no chunk and leaves the live
// version as it was.
TEST_F(ChunkedBundle, SignedMetadataNamesTheIndexAndARefusedOneFetchesNoChunk) {
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::signify);
    NginxServer server(dir_ / "www");
    const std::string index = dir_ / "www/site.caibx";
    const std::string metadata = dir_ / "www/site.meta";
    // The metadata of the index as published, through `edit`, signed.
    const auto publishMetadata = [&](std::uint64_t serial, const std::function<void(BundleMetadata&)>& edit) {
        const ProcessResult printed = runProcess(
            quillsteadBinary(),
            {.args = {"metadata", "--bundle", "site", "--serial", std::to_string(serial), "--expires", "1d", index}});
        ASSERT_EQ(printed.exit_status, 0) << printed.err;
        auto fields = parseBundleMetadata(printed.out);
        ASSERT_TRUE(fields) << printed.out;
        EXPECT_EQ(fields->size, std::filesystem::file_size(index));
        edit(*fields);
        writeFile(metadata, formatBundleMetadata(*fields));
        signFile(key, metadata);
    };
    const auto asPrinted = [](BundleMetadata&) {};
    const std::string conf = config(server, "public_key = " + key.public_path + "\nmetadata_url = site.meta\n" +
                                                "[global]\nstate_dir = " + (dir_ / "state") + "\n");
    // Requests nginx has logged so far whose line holds `part`.
    const auto requests = [&](std::string_view part) {
        std::this_thread::sleep_for(200ms);  // nginx logs a request once it is done
        return count(server.accessLog(), part);
    };

    writeTree(1);
    publish();
    publishMetadata(100, asPrinted);
    ProcessResult result = once(conf);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("[site] metadata signature verified (signify Ed25519)"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(std::to_string(indexChunks()) + " of " + std::to_string(indexChunks()) +
                              " chunks fetched"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(readFile(target() + "/current/big.txt"), textOf(600000, 1));
    // The metadata vouches for the index: the index's signature is never asked for.
    EXPECT_EQ(requests("site.caibx.sig"), 0u) << server.accessLog();
    const std::string live = readFile(target() + "/current/docs/readme.txt");

    // Published again under a later serial: nothing is fetched, not even the index.
    const std::size_t index_gets = requests("GET /site.caibx HTTP");
    publishMetadata(150, asPrinted);
    result = once(conf);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("[site] unchanged"), std::string::npos) << result.err;
    EXPECT_EQ(requests("GET /site.caibx HTTP"), index_gets) << server.accessLog();

    writeTree(2);
    publish();
    struct Case {
        std::string name;
        std::uint64_t serial;
        std::function<void(BundleMetadata&)> edit;
        std::string line;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"an index whose digest is not the metadata's", 200,
         [](BundleMetadata& m) { m.sha256[10] = m.sha256[10] == '0' ? '1' : '0'; },
         "error(quillstead): [site] index refused: sha256 ", "signature_failed"},
        {"an index larger than its metadata says", 200, [](BundleMetadata& m) { m.size -= 1; },
         "error(quillstead): [site] fetch failed: index: over the size in its metadata", "fetch_failed"},
        {"a replay of an older serial", 50, asPrinted,
         "error(quillstead): [site] metadata refused: serial 50 is older than the installed 150", "signature_failed"},
        {"metadata past its expiry", 200, [](BundleMetadata& m) { m.expires = std::time(nullptr) - 3600; },
         "error(quillstead): [site] metadata expired at ", "expired"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        publishMetadata(c.serial, c.edit);
        const std::size_t chunk_requests = requests(".cacnk");
        result = once(conf);
        EXPECT_EQ(result.exit_status, 2) << result.err;
        EXPECT_NE(result.err.find(c.line), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("installed version"), std::string::npos) << result.err;
        EXPECT_EQ(requests(".cacnk"), chunk_requests) << server.accessLog();
        EXPECT_EQ(readFile(target() + "/current/docs/readme.txt"), live);
        EXPECT_NE(readFile(dir_ / "state/site.json").find("\"" + c.status + "\""), std::string::npos)
            << readFile(dir_ / "state/site.json");
    }

    // A good publication still goes through, fetching only the chunks it lacks.
    publishMetadata(300, asPrinted);
    result = once(conf);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(readFile(target() + "/current/docs/readme.txt"), "version 2\n");
    EXPECT_EQ(readFile(target() + "/current/big.txt"), textOf(600000, 2));
    EXPECT_NE(readFile(target() + "/.serials").find("highest 300\n"), std::string::npos)
        << readFile(target() + "/.serials");
}

}  // namespace
}  // namespace qs::test
