// The publisher's helper run as the built binary: the file it prints is one
// the agent reads back, with the payload's size and digest as sha256sum
// gives them, and a value that would make a file the agent refuses is
// refused on the command line instead.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/metadata_command.hpp"
#include "formats/bundle_metadata.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

ProcessResult quillstead(std::vector<std::string> args) {
    RunOptions options;
    options.args = std::move(args);
    options.timeout = 20s;
    return runProcess(quillsteadBinary(), options);
}

TEST(MetadataCommand, PrintsAFileTheAgentReads) {
    TempDir dir;
    std::string payload(300000, 'x');
    payload += "end\n";
    writeFile(dir / "site.tgz", payload);
    RunOptions sum;
    sum.args = {"sha256sum", dir / "site.tgz"};
    const auto expected = runProcess("/usr/bin/env", sum);
    ASSERT_EQ(expected.exit_status, 0);

    const auto before = std::chrono::system_clock::now();
    const auto result = quillstead({"metadata", "--bundle", "site", "--serial", "1733822400",
                                    "--expires", "7d", dir / "site.tgz"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const auto parsed = parseBundleMetadata(result.out);
    ASSERT_TRUE(parsed) << result.out;
    EXPECT_EQ(parsed->bundle, "site");
    EXPECT_EQ(parsed->serial, 1733822400u);
    EXPECT_EQ(parsed->size, payload.size());
    EXPECT_EQ(parsed->sha256, expected.out.substr(0, 64));
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(before.time_since_epoch()).count();
    EXPECT_GE(parsed->expires, now + 7 * 86400);
    EXPECT_LE(parsed->expires, now + 7 * 86400 + 60);
}

TEST(MetadataCommand, RefusedLines) {
    TempDir dir;
    writeFile(dir / "p", "payload");
    const std::string p = dir / "p";
    struct Case {
        std::string_view name;
        std::vector<std::string> args;
        int exit_status;
        std::string first_line;
    };
    const Case cases[] = {
        {"no --bundle", {"--serial", "1", "--expires", "1d", p}, 2, "error: metadata: --bundle NAME is missing"},
        {"no --serial", {"--bundle", "a", "--expires", "1d", p}, 2, "error: metadata: --serial N is missing"},
        {"no --expires", {"--bundle", "a", "--serial", "1", p}, 2,
         "error: metadata: --expires DURATION is missing"},
        {"no payload", {"--bundle", "a", "--serial", "1", "--expires", "1d"}, 2,
         "error: metadata: the payload file is missing"},
        {"serial 0", {"--bundle", "a", "--serial", "0", "--expires", "1d", p}, 2,
         "error: metadata: --serial '0' is not a whole number above 0"},
        {"a serial with a sign", {"--bundle", "a", "--serial", "+1", "--expires", "1d", p}, 2,
         "error: metadata: --serial '+1' is not a whole number above 0"},
        {"a bundle name with a blank", {"--bundle", "a b", "--serial", "1", "--expires", "1d", p}, 2,
         "error: metadata: --bundle 'a b' is not a bundle name (1 to 255 visible characters)"},
        {"a bundle name with a line end", {"--bundle", "a\nserial: 9", "--serial", "1", "--expires", "1d", p}, 2,
         ""},
        {"a duration with an unknown unit", {"--bundle", "a", "--serial", "1", "--expires", "7y", p}, 2,
         "error: metadata: --expires '7y' is not a duration such as 7d"},
        {"a negative duration", {"--bundle", "a", "--serial", "1", "--expires", "-1d", p}, 2,
         "error: metadata: --expires '-1d' is not a duration such as 7d"},
        {"a missing payload", {"--bundle", "a", "--serial", "1", "--expires", "1d", dir / "missing"}, 1,
         "error: metadata: cannot read " + std::string(dir / "missing") + ": error.FileNotFound"},
        {"a directory as payload", {"--bundle", "a", "--serial", "1", "--expires", "1d", dir.path().string()}, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"metadata"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto result = quillstead(args);
        EXPECT_EQ(result.exit_status, c.exit_status) << result.err;
        EXPECT_EQ(result.out, "");
        if (!c.first_line.empty()) {
            EXPECT_TRUE(result.err.starts_with(c.first_line + "\n")) << result.err;
        }
    }
}

TEST(MetadataCommand, Durations) {
    struct Case {
        std::string_view text;
        std::optional<std::int64_t> seconds;
    };
    const Case cases[] = {
        {"90", 90}, {"90s", 90}, {"15m", 900}, {"12h", 43200}, {"7d", 604800}, {"2w", 1209600},
        {"0", 0}, {"", std::nullopt}, {"d", std::nullopt}, {"1.5d", std::nullopt}, {"1 d", std::nullopt},
        {"7D", std::nullopt}, {"1_000", std::nullopt}, {"999999999999999d", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(durationSeconds(c.text), c.seconds) << c.text;
}

}  // namespace
}  // namespace qs::test
