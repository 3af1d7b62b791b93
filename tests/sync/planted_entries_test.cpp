// Whoever may write in target_dir (the extract_owner user, say) can plant a
// hard link, a symbolic link or a FIFO where the next install writes. Each
// plant is replaced by a new file (or, a FIFO in a direct install, fails it
// before anything moves): nothing outside target_dir changes, and nothing
// waits for a FIFO's reader.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/metrics.hpp"
#include "core/status_records.hpp"
#include "sync/apply_bundle.hpp"
#include "sync/etag_store.hpp"
#include "sync/payload_record.hpp"
#include "sync/version_store.hpp"
#include "support/archive.hpp"
#include "support/bundles.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;

// A plant that would hang the install (a FIFO opened for writing) fails the
// child instead of the whole run.
constexpr unsigned kChildSeconds = 20;

enum class Plant { hard_link, symbolic_link, fifo };

const char* plantName(Plant plant) {
    switch (plant) {
    case Plant::hard_link: return "hard link";
    case Plant::symbolic_link: return "symbolic link";
    case Plant::fifo: return "FIFO";
    }
    return "?";
}

void plant(Plant kind, const std::string& at, const std::string& outside) {
    switch (kind) {
    case Plant::hard_link: fs::create_hard_link(outside, at); break;
    case Plant::symbolic_link: fs::create_symlink(outside, at); break;
    case Plant::fifo: ASSERT_EQ(::mkfifo(at.c_str(), 0666), 0) << at; break;
    }
}

// Runs `body` in a child process under an alarm; its exit status, or -1
// when it did not end normally (killed by the alarm).
int inChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(kChildSeconds);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bundle bundleFor(const std::string& target_dir, DeployMode mode, BundleFormat format) {
    Bundle b = test::bundleAt(target_dir, mode, format);
    b.filename = "app.conf";
    return b;
}

bool isPlainFile(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1;
}

TEST(PlantedEntries, InstallsReplaceThePlantNeverWriteThroughIt) {
    const std::string archive = test::makeTarGz(
        {test::dirEntry("conf"), test::fileEntry("conf/app.conf", "new contents")});
    struct Place {
        const char* name;
        DeployMode mode;
        BundleFormat format;
        std::string planted;  // relative to target_dir
        std::string written;  // where the new contents must end up
    };
    const Place places[] = {
        {"archive entry, direct", DeployMode::direct, BundleFormat::archive, "conf/app.conf",
         "conf/app.conf"},
        {"archive entry, version reinstalled", DeployMode::versioned, BundleFormat::archive,
         "v1/conf/app.conf", "current/conf/app.conf"},
        {"raw file", DeployMode::direct, BundleFormat::raw, "app.conf", "app.conf"},
        {"raw file's temporary name", DeployMode::direct, BundleFormat::raw,
         "app.conf.quillstead-tmp", "app.conf"},
    };
    for (const Place& place : places) {
        for (const Plant kind : {Plant::hard_link, Plant::symbolic_link, Plant::fifo}) {
            SCOPED_TRACE(std::string(place.name) + ", " + plantName(kind));
            test::TempDir root;
            const std::string t = root / "t";
            const std::string outside = root / "outside";
            test::writeFile(outside, "precious");
            fs::create_directories(t);
            const Bundle bundle = bundleFor(t, place.mode, place.format);
            const std::string body = place.format == BundleFormat::raw ? "new contents" : archive;
            test::StderrCapture capture;
            if (place.mode == DeployMode::versioned) {
                // The version is there already, as after an earlier install.
                ASSERT_TRUE(applyBundle(bundle, "1", body));
                fs::remove(t + "/" + place.planted);
            }
            fs::create_directories(fs::path(t + "/" + place.planted).parent_path());
            plant(kind, t + "/" + place.planted, outside);

            const int status = inChild([&] { return applyBundle(bundle, "1", body) ? 0 : 1; });
            if (place.mode == DeployMode::direct && place.format == BundleFormat::archive &&
                kind == Plant::fifo) {
                // A direct install moves nothing when an entry of the live
                // tree that is no file stands where the payload has one.
                EXPECT_EQ(status, 1) << capture.text();
                EXPECT_EQ(test::readFile(outside), "precious");
                EXPECT_TRUE(fs::is_fifo(t + "/" + place.planted));
                continue;
            }
            EXPECT_EQ(status, 0) << capture.text();
            EXPECT_EQ(test::readFile(outside), "precious");
            EXPECT_EQ(fs::hard_link_count(outside), 1u);
            EXPECT_EQ(test::readFile(t + "/" + place.written), "new contents");
            EXPECT_TRUE(isPlainFile(fs::canonical(t + "/" + place.written)));
            EXPECT_FALSE(fs::exists(fs::symlink_status(t + "/app.conf.quillstead-tmp")));
        }
    }
}

TEST(PlantedEntries, EtagRecordIsReplacedNeverWrittenThrough) {
    for (const std::string name : {".etag", ".etag.tmp"}) {
        for (const Plant kind : {Plant::hard_link, Plant::symbolic_link, Plant::fifo}) {
            SCOPED_TRACE(name + ", " + plantName(kind));
            test::TempDir root;
            const std::string t = root / "t";
            const std::string outside = root / "outside";
            test::writeFile(outside, "precious");
            fs::create_directories(t);
            plant(kind, t + "/" + name, outside);
            test::StderrCapture capture;
            const int status = inChild([&] {
                BundleState state;
                saveEtag(t, state, "\"new\"");
                return loadEtag(t) == "\"new\"" ? 0 : 1;
            });
            EXPECT_EQ(status, 0);
            EXPECT_EQ(capture.text(), "");
            EXPECT_EQ(test::readFile(outside), "precious");
            EXPECT_TRUE(isPlainFile(t + "/.etag"));
            EXPECT_FALSE(fs::exists(fs::symlink_status(t + "/.etag.tmp")));
        }
    }
}

// What the agent would never have written counts as no record: it must not
// follow a link elsewhere, wait on a FIFO, or put control bytes into a
// request head.
TEST(PlantedEntries, EtagRecordsTheAgentCannotHaveWrittenAreIgnored) {
    test::TempDir root;
    const std::string outside = root / "outside";
    test::writeFile(outside, "\"from elsewhere\"");
    struct Case {
        const char* name;
        std::function<void(const std::string& record)> make;
        std::string etag;
    };
    const Case cases[] = {
        {"symbolic link", [&](const std::string& r) { fs::create_symlink(outside, r); }, ""},
        {"FIFO", [](const std::string& r) { ::mkfifo(r.c_str(), 0666); }, ""},
        {"line break inside",
         [](const std::string& r) { test::writeFile(r, "\"a\"\r\nX-Injected: 1"); }, ""},
        {"DEL inside", [](const std::string& r) { test::writeFile(r, "\"a\x7f\""); }, ""},
        {"NUL inside", [](const std::string& r) { test::writeFile(r, std::string("\"a\0\"", 4)); }, ""},
        {"vertical tab inside", [](const std::string& r) { test::writeFile(r, "W/\"a\vb\""); }, ""},
        // A field value may hold a tab; it cannot end the line.
        {"tab inside", [](const std::string& r) { test::writeFile(r, "W/\"a\tb\""); }, "W/\"a\tb\""},
        {"trailing line feed is trimmed",
         [](const std::string& r) { test::writeFile(r, "\"a b\"\n"); }, "\"a b\""},
        {"hard link to a plain record", [&](const std::string& r) { fs::create_hard_link(outside, r); },
         "\"from elsewhere\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        c.make(dir / ".etag");
        const int status = inChild([&] { return loadEtag(dir.str()) == c.etag ? 0 : 1; });
        EXPECT_EQ(status, 0);
    }
}

// Every small record the agent keeps goes through one writer: a plant under
// the record's name or its temporary name is replaced, never written
// through, and a FIFO there never holds the agent.
TEST(PlantedEntries, RecordsAreReplacedNeverWrittenThrough) {
    struct Writer {
        const char* name;
        std::string file;  // relative to the directory the test makes
        std::function<void(const std::string& dir)> write;
        std::string contents;
    };
    const auto bundleIn = [](const std::string& dir) {
        Bundle b = bundleFor(dir, DeployMode::direct, BundleFormat::archive);
        b.name = "site";
        return b;
    };
    const Writer writers[] = {
        {"digest record", ".digest",
         [&](const std::string& dir) {
             BundleState state;
             savePayloadRecord(bundleIn(dir), state, PayloadRecord::digest, "abc123");
         },
         "abc123"},
        {"Last-Modified record", ".last-modified",
         [&](const std::string& dir) {
             BundleState state;
             savePayloadRecord(bundleIn(dir), state, PayloadRecord::last_modified,
                               "Tue, 01 Dec 2026 10:00:00 GMT");
         },
         "Tue, 01 Dec 2026 10:00:00 GMT"},
        {"version record", ".versions",
         [](const std::string& dir) { (void)saveVersionRecord(dir, {"v1", "v2"}, false); },
         "v1\nv2\n"},
        {"durable version record", ".versions",
         [](const std::string& dir) { (void)saveVersionRecord(dir, {"v1"}, true); }, "v1\n"},
        {"status record", "site.json",
         [&](const std::string& dir) {
             BundleState state;
             state.status.result = "installed";
             writeStatusRecord(dir, "site.json", bundleIn(dir), state);
         },
         "\"installed\""},
        {"metrics file", "metrics.prom",
         [&](const std::string& dir) {
             const Bundle bundles[] = {bundleIn(dir)};
             const BundleState states[1];
             writeMetrics(dir + "/metrics.prom", bundles, states);
         },
         "quillstead_build_info"},
    };
    for (const Writer& writer : writers) {
        for (const std::string suffix : {"", ".tmp"}) {
            for (const Plant kind : {Plant::hard_link, Plant::symbolic_link, Plant::fifo}) {
                SCOPED_TRACE(std::string(writer.name) + ", " + writer.file + suffix + ", " +
                             plantName(kind));
                test::TempDir root;
                const std::string dir = root / "d";
                const std::string outside = root / "outside";
                test::writeFile(outside, "precious");
                fs::create_directories(dir);
                plant(kind, dir + "/" + writer.file + suffix, outside);
                test::StderrCapture capture;
                const int status = inChild([&] {
                    writer.write(dir);
                    return 0;
                });
                EXPECT_EQ(status, 0);
                EXPECT_EQ(capture.text(), "");
                EXPECT_EQ(test::readFile(outside), "precious");
                EXPECT_EQ(fs::hard_link_count(outside), 1u);
                const std::string record = dir + "/" + writer.file;
                EXPECT_TRUE(isPlainFile(record));
                if (isPlainFile(record)) {
                    EXPECT_NE(test::readFile(record).find(writer.contents), std::string::npos);
                }
                EXPECT_FALSE(fs::exists(fs::symlink_status(record + ".tmp")));
            }
        }
    }
}

// A record name that holds anything but a regular file was not made by the
// agent: it is read as no record, with a warning, and never waited on.
TEST(PlantedEntries, RecordsThatAreNoRegularFileAreIgnoredWithAWarning) {
    struct Reader {
        const char* name;
        std::string file;
        std::string plausible;  // what the record could hold, written outside
        std::function<bool(const std::string& dir)> reads_nothing;
    };
    const auto bundleIn = [](const std::string& dir) {
        Bundle b = bundleFor(dir, DeployMode::direct, BundleFormat::archive);
        b.name = "site";
        b.options.skip_identical = true;
        b.options.use_last_modified = true;
        return b;
    };
    const auto payloadRecords = [&](const std::string& dir) {
        BundleState state;
        loadPayloadRecords(bundleIn(dir), state);
        return state.payload_digest.empty() && state.last_modified.empty();
    };
    BundleStatus installed;
    installed.result = "installed";
    const Reader readers[] = {
        {"digest record", ".digest", "abc123", payloadRecords},
        {"Last-Modified record", ".last-modified", "Tue, 01 Dec 2026 10:00:00 GMT",
         payloadRecords},
        {"version record", ".versions", "v1\n",
         [](const std::string& dir) { return loadVersionRecord(dir).empty(); }},
        {"status record", "site.json", "",
         [&](const std::string& dir) {
             return !readStatusRecord(dir, "site.json", bundleIn(dir)).has_value();
         }},
    };
    for (const Reader& reader : readers) {
        for (const Plant kind : {Plant::symbolic_link, Plant::fifo}) {
            SCOPED_TRACE(std::string(reader.name) + ", " + plantName(kind));
            test::TempDir root;
            const std::string dir = root / "d";
            const std::string outside = root / "outside";
            fs::create_directories(dir);
            test::writeFile(outside, reader.plausible.empty()
                                         ? renderStatusRecord(bundleIn(dir), installed, "")
                                         : reader.plausible);
            plant(kind, dir + "/" + reader.file, outside);
            test::StderrCapture capture;
            const int status = inChild([&] { return reader.reads_nothing(dir) ? 0 : 1; });
            EXPECT_EQ(status, 0);
            EXPECT_NE(capture.text().find("ignored " + dir + "/" + reader.file +
                                          ": not a regular file"),
                      std::string::npos)
                << capture.text();
        }
    }
}

}  // namespace
}  // namespace qs
