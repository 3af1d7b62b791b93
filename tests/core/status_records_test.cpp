#include "core/status_records.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.hpp"
#include "support/process.hpp"
#include "support/stderr_capture.hpp"
#include "sync/install_hooks.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

Bundle bundleNamed(std::string name) {
    Bundle b;
    b.name = std::move(name);
    b.url = "http://h/x";
    b.target_dir = "/srv/x";
    return b;
}

TEST(StatusRecords, FileNamesNeverCollide) {
    struct Case {
        std::string_view name;
        std::vector<std::string> bundles;
        std::vector<std::string> files;
    };
    const std::string long_name(150, 'n');
    const Case cases[] = {
        {"plain names", {"site", "motd-2", "a_b.c"}, {"site.json", "motd-2.json", "a_b.c.json"}},
        {"repeated names count up", {"x", "x", "x"}, {"x.json", "x~2.json", "x~3.json"}},
        {"names that clean up alike", {"a b", "a/b", "a_b"}, {"a_b.json", "a_b~2.json", "a_b~3.json"}},
        {"no way out of the directory", {"..", ".hidden", "../../etc/passwd"},
         {"_..json", "_hidden.json", "_._.._etc_passwd.json"}},
        {"a literal ~ cannot fake a counter", {"q", "q~2", "q"}, {"q.json", "q_2.json", "q~2.json"}},
        {"empty, control and non-ASCII bytes", {"", "\n\"", "\xc3\xa9"},
         {"_.json", "__.json", "__~2.json"}},
        {"long names are cut, then counted", {long_name, long_name + "x"},
         {std::string(100, 'n') + ".json", std::string(100, 'n') + "~2.json"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bundle> bundles;
        for (const auto& name : c.bundles) bundles.push_back(bundleNamed(name));
        EXPECT_EQ(statusFileNames(bundles), c.files);
    }
}

// Python's json module parses the record as any consumer would.
std::string pythonView(const std::string& path) {
    test::RunOptions options;
    options.args = {"-c",
                    "import json,sys\n"
                    "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
                    "print(json.dumps(d, sort_keys=True, ensure_ascii=True))\n",
                    path};
    return test::runProcess("/usr/bin/python3", options).out;
}

TEST(StatusRecords, HostileValuesStayValidJsonAndReadBack) {
    Bundle b = bundleNamed("q\"u\\o\x01te\xff");
    b.url = "https://user:s3cret@h/x\n";
    b.target_dir = "/srv/\xe2\x82";
    BundleStatus s;
    s.last_attempt = 1700000100;
    s.last_success = 1700000000;
    s.result = "failed";
    s.consecutive_failures = 3;
    s.last_error = "fetch failed: \x1b[31m\"red\"";
    s.version = "1.0";
    s.live_since = 1699990000;
    s.bytes = 123;
    s.duration_ms = 45;
    const std::string etag = "W/\"" + std::string(300, '\x7f') + "\\\"";
    const std::string record = renderStatusRecord(b, s, etag);
    test::TempDir dir;
    test::writeFile(dir / "r.json", record);
    std::string escaped_dels;
    for (int i = 0; i < 300; ++i) escaped_dels += "\\u007f";
    EXPECT_EQ(pythonView(dir / "r.json"),
              "{\"bundle\": \"q\\\"u\\\\o\\u0001te\\ufffd\", \"bytes\": 123, "
              "\"consecutive_failures\": 3, \"duration_ms\": 45, \"etag\": \"W/\\\"" +
                  escaped_dels +
                  "\\\\\\\"\", \"last_attempt\": 1700000100, \"last_error\": \"fetch failed: "
                  "\\u001b[31m\\\"red\\\"\", \"last_success\": 1700000000, \"live_since\": 1699990000, "
                  "\"result\": \"failed\", "
                  "\"target_dir\": \"/srv/\\ufffd\\ufffd\", \"url\": \"https://user:***@h/x\\n\", "
                  "\"version\": \"1.0\"}\n");

    // A record written for one bundle reads back into the same status, and
    // only for that bundle. Bytes that were replaced do not come back, so
    // the round trip uses a name and directory that are valid UTF-8.
    Bundle clean = bundleNamed("c\"l\x01" "ean");
    const auto back = parseStatusRecord(renderStatusRecord(clean, s, etag), clean);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->last_attempt, s.last_attempt);
    EXPECT_EQ(back->last_success, s.last_success);
    EXPECT_EQ(back->result, s.result);
    EXPECT_EQ(back->consecutive_failures, s.consecutive_failures);
    EXPECT_EQ(back->last_error, s.last_error);
    EXPECT_EQ(back->version, s.version);
    EXPECT_EQ(back->bytes, s.bytes);
    EXPECT_EQ(back->live_since, s.live_since);
    EXPECT_EQ(back->duration_ms, s.duration_ms);
    EXPECT_FALSE(parseStatusRecord(renderStatusRecord(clean, s, etag), bundleNamed("other")));
}

TEST(StatusRecords, CyclesAreBooked) {
    struct Step {
        SyncOutcome outcome;
        std::uint64_t bytes_downloaded;  // what the cycle set, 0 for none
        std::int64_t started;
        std::string error_line;     // the cycle's last error line, "" for none
        std::string hook_failure;   // what the post_sync tally says, "" for none
    };
    struct Expect {
        std::string result;
        std::int64_t last_success;
        std::uint32_t consecutive_failures;
        std::uint64_t bytes_downloaded_total, bytes;
        std::optional<std::string> last_error;
        std::int64_t live_since;
    };
    struct Case {
        std::string_view name;
        std::vector<Step> steps;
        Expect expect;
    };
    const std::string refusal = "[b] pre_switch refused version 2: exited with code 1";
    const Case cases[] = {
        {"install then 304 keeps the last download's size",
         {{SyncOutcome::installed, 10, 100}, {SyncOutcome::unchanged, 0, 160}},
         {"unchanged", 160, 0, 10, 10, std::nullopt, 100}},
        {"failures count up, keep the last success and name the failure",
         {{SyncOutcome::installed, 10, 100},
          {SyncOutcome::fetch_failed, 0, 160, "[b] fetch failed: HTTP 404"},
          {SyncOutcome::apply_failed, 7, 220, "[b] bundle apply failed: error.NoSpaceLeft"}},
         {"apply_failed", 100, 2, 17, 7, "bundle apply failed: error.NoSpaceLeft", 100}},
        {"a good cycle ends a run of failures",
         {{SyncOutcome::fetch_failed, 0, 100, "[b] fetch failed: HTTP 404"}, {SyncOutcome::unchanged, 0, 160}},
         {"unchanged", 160, 0, 0, 0, std::nullopt, 0}},
        // The install is live: its time counts, but not as a success.
        {"a failed hook after an install",
         {{SyncOutcome::installed, 10, 100}, {SyncOutcome::hook_failed, 5, 160, "", "post_sync exited with code 3"}},
         {"hook_failed", 100, 1, 15, 5, "post_sync exited with code 3", 160}},
        {"a refused version still offered keeps the refusal's reason",
         {{SyncOutcome::refused, 10, 100, refusal}, {SyncOutcome::refused, 0, 160}},
         {"refused", 0, 2, 10, 10, refusal.substr(4), 0}},
        {"a failure without an error line is named by its outcome",
         {{SyncOutcome::signature_failed, 0, 100}},
         {"signature_failed", 0, 1, 0, 0, "signature_failed", 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bundle b = bundleNamed("b");
        BundleState state;
        for (const Step& step : c.steps) {
            const std::uint64_t before = state.status.bytes;
            state.status.bytes = step.bytes_downloaded;
            log::clearLastError();
            if (!step.error_line.empty()) {
                test::StderrCapture quiet;
                log::error(log::Scope::quillstead, step.error_line);
            }
            cycleHooks() = HookTally{};
            if (!step.hook_failure.empty()) {
                cycleHooks().post_sync_failed = 1;
                cycleHooks().post_sync_failure = step.hook_failure;
            }
            recordCycle(b, state, step.outcome, step.started, 5, before);
        }
        const BundleStatus& s = state.status;
        EXPECT_EQ(s.result, c.expect.result);
        EXPECT_EQ(s.last_attempt, c.steps.back().started);
        EXPECT_EQ(s.last_success, c.expect.last_success);
        EXPECT_EQ(s.consecutive_failures, c.expect.consecutive_failures);
        EXPECT_EQ(s.bytes_downloaded_total, c.expect.bytes_downloaded_total);
        EXPECT_EQ(s.bytes, c.expect.bytes);
        EXPECT_EQ(s.last_error, c.expect.last_error);
        EXPECT_EQ(s.live_since, c.expect.live_since);
        std::uint64_t booked = 0;
        for (const std::uint64_t n : s.cycles) booked += n;
        EXPECT_EQ(booked, c.steps.size());
        EXPECT_EQ(s.cycles[static_cast<std::size_t>(c.steps.back().outcome)] > 0, true);
    }
    cycleHooks() = HookTally{};
}

}  // namespace
}  // namespace qs
