#include "config/load_config.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "support/process.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

// One line per bundle with every field, optional ones only when present and
// in angle brackets so that present-and-empty shows as "<>".
std::string describe(const Config& config) {
    std::string out = config.tls_verify ? "tls_verify=true\n" : "tls_verify=false\n";
    for (const Bundle& b : config.bundles) {
        out += "[" + b.name + "] url=" + b.url + " dir=" + b.target_dir +
               " poll=" + std::to_string(b.poll_interval) + " " +
               std::string(deployModeName(b.mode)) +
               (b.format == BundleFormat::raw ? " raw" : " archive");
        const auto optional = [&](std::string_view key, const std::optional<std::string>& value) {
            if (value) out += " " + std::string(key) + "=<" + *value + ">";
        };
        optional("filename", b.filename);
        optional("post_sync", b.post_sync);
        optional("authorization", b.authorization);
        optional("extract_owner", b.extract_owner);
        if (b.extract_mode) out += " extract_mode=" + std::to_string(*b.extract_mode);
        out += "\n";
    }
    return out;
}

constexpr std::string_view kExample = R"(; agent configuration
[global]
tls_verify = yes

[bundle.site]
url = https://h/bundles/site.tar.gz
target_dir = /usr/local/site
poll_interval = 300
mode = versioned
extract_owner = root:wheel
extract_mode = 0644
post_sync = '/usr/local/bin/reload-site --quiet'

[bundle.motd]
url = https://h/bundles/motd.txt
target_dir = /var/run/motd-bundle
format = raw
filename = motd
mode = direct
poll_interval = 9_00

[bundle]
url = https://h/bundles/default.tar.gz
target_dir = /usr/local/default-bundle
)";

constexpr std::string_view kExampleParsed =
    "tls_verify=true\n"
    "[site] url=https://h/bundles/site.tar.gz dir=/usr/local/site poll=300 versioned archive "
    "post_sync=</usr/local/bin/reload-site --quiet> extract_owner=<root:wheel> extract_mode=420\n"
    "[motd] url=https://h/bundles/motd.txt dir=/var/run/motd-bundle poll=900 direct raw "
    "filename=<motd>\n"
    "[default] url=https://h/bundles/default.tar.gz dir=/usr/local/default-bundle poll=60 "
    "versioned archive\n";

std::string withCrLf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// A bundle section with its two required keys, for cases about one more key.
#define BUNDLE_A "[bundle.a]\nurl = u\ntarget_dir = d\n"

struct Case {
    std::string_view name;
    std::string text;
    std::string_view parsed;
    std::string_view log = "";
};

const Case kCases[] = {
    {"example", std::string(kExample), kExampleParsed},
    {"example with CR LF", withCrLf(kExample), kExampleParsed},
    {"no final line feed", "[bundle.a]\nurl = u\ntarget_dir = d",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"tight and padded key lines", "[bundle.a]\nurl=u\n \t target_dir \t=\v d \f\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"value keeps later equals signs", "[bundle.a]\nurl = http://h/?a=b==c\ntarget_dir = d\n",
     "tls_verify=true\n[a] url=http://h/?a=b==c dir=d poll=60 versioned archive\n"},
    {"comment markers inside a value are text",
     "[bundle.a]\nurl = http://h/x ;note\ntarget_dir = d # not a comment\n",
     "tls_verify=true\n[a] url=http://h/x ;note dir=d # not a comment poll=60 versioned archive\n"},
    {"comment lines, also indented", "# c\n  ; c\n[bundle.a]\n#url = x\nurl = u\n\t# x\ntarget_dir = d\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"empty value keeps the earlier one", BUNDLE_A "url =\nurl = \t \n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"line without equals sign is skipped", BUNDLE_A "url\nmode direct\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"later line replaces the earlier", BUNDLE_A "url = v\npoll_interval = 5\npoll_interval = 7\n",
     "tls_verify=true\n[a] url=v dir=d poll=7 versioned archive\n"},
    {"keys are case-sensitive", BUNDLE_A "URL = x\nMode = direct\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"quoted empty url drops the bundle", "[bundle.a]\nurl = \"\"\ntarget_dir = d\n" BUNDLE_A,
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n",
     "warning(config): bundle 'a' missing url or target_dir, skipping\n"},
    {"quoted empty optional is present", BUNDLE_A "post_sync = \"\"\nfilename = ''\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive filename=<> post_sync=<>\n"},
    {"quotes: pairs removed once, nothing inside interpreted",
     BUNDLE_A "post_sync = \" echo 'x' \\n \"\nauthorization = ''Basic''\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive post_sync=< echo 'x' \\n > "
     "authorization=<'Basic'>\n"},
    {"unmatched quotes stay", BUNDLE_A "post_sync = 'echo\"\nfilename = \"\nextract_owner = x'\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive filename=<\"> post_sync=<'echo\"> "
     "extract_owner=<x'>\n"},
    {"poll_interval numbers",
     "[bundle.zero]\nurl=u\ntarget_dir=d\npoll_interval=0\n"
     "[bundle.max]\nurl=u\ntarget_dir=d\npoll_interval=4294967295\n"
     "[bundle.over]\nurl=u\ntarget_dir=d\npoll_interval=5\npoll_interval=4294967296\n"
     "[bundle.unit]\nurl=u\ntarget_dir=d\npoll_interval=10s\n"
     "[bundle.negzero]\nurl=u\ntarget_dir=d\npoll_interval=-0\n"
     "[bundle.neg]\nurl=u\ntarget_dir=d\npoll_interval=-5\n"
     "[bundle.plus]\nurl=u\ntarget_dir=d\npoll_interval=+0_12\n"
     "[bundle.hex]\nurl=u\ntarget_dir=d\npoll_interval=0x10\n"
     "[bundle.inner]\nurl=u\ntarget_dir=d\npoll_interval=1 0\n"
     "[bundle.edge]\nurl=u\ntarget_dir=d\npoll_interval=_10\n",
     "tls_verify=true\n"
     "[zero] url=u dir=d poll=0 versioned archive\n"
     "[max] url=u dir=d poll=4294967295 versioned archive\n"
     "[over] url=u dir=d poll=60 versioned archive\n"
     "[unit] url=u dir=d poll=60 versioned archive\n"
     "[negzero] url=u dir=d poll=0 versioned archive\n"
     "[neg] url=u dir=d poll=60 versioned archive\n"
     "[plus] url=u dir=d poll=12 versioned archive\n"
     "[hex] url=u dir=d poll=60 versioned archive\n"
     "[inner] url=u dir=d poll=60 versioned archive\n"
     "[edge] url=u dir=d poll=60 versioned archive\n"},
    {"extract_mode is octal; a bad value clears it",
     "[bundle.plain]\nurl=u\ntarget_dir=d\nextract_mode=755\n"
     "[bundle.prefix]\nurl=u\ntarget_dir=d\nextract_mode=0o755\n"
     "[bundle.eight]\nurl=u\ntarget_dir=d\nextract_mode=8\n"
     "[bundle.cleared]\nurl=u\ntarget_dir=d\nextract_mode=0644\nextract_mode=9\n"
     "[bundle.quoted]\nurl=u\ntarget_dir=d\nextract_mode=\"0_600\"\n"
     "[bundle.big]\nurl=u\ntarget_dir=d\nextract_mode=37777777777\n"
     "[bundle.bigger]\nurl=u\ntarget_dir=d\nextract_mode=40000000000\n",
     "tls_verify=true\n"
     "[plain] url=u dir=d poll=60 versioned archive extract_mode=493\n"
     "[prefix] url=u dir=d poll=60 versioned archive\n"
     "[eight] url=u dir=d poll=60 versioned archive\n"
     "[cleared] url=u dir=d poll=60 versioned archive\n"
     "[quoted] url=u dir=d poll=60 versioned archive extract_mode=384\n"
     "[big] url=u dir=d poll=60 versioned archive extract_mode=4294967295\n"
     "[bigger] url=u dir=d poll=60 versioned archive\n"},
    {"mode and format words are exact",
     "[bundle.cap]\nurl=u\ntarget_dir=d\nmode=Direct\nformat=RAW\n"
     "[bundle.other]\nurl=u\ntarget_dir=d\nmode=direct\nformat=raw\nmode=copy\nformat=zip\n"
     "[bundle.yes]\nurl=u\ntarget_dir=d\nmode='direct'\nformat=\"raw\"\n",
     "tls_verify=true\n"
     "[cap] url=u dir=d poll=60 versioned archive\n"
     "[other] url=u dir=d poll=60 versioned archive\n"
     "[yes] url=u dir=d poll=60 direct raw\n"},
    {"tls_verify no", "[global]\ntls_verify = no\n" BUNDLE_A,
     "tls_verify=false\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"tls_verify false", "[global]\ntls_verify = false\n" BUNDLE_A,
     "tls_verify=false\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"tls_verify 0", "[global]\ntls_verify = 0\n" BUNDLE_A,
     "tls_verify=false\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"tls_verify upper-case TRUE is false", "[global]\ntls_verify = TRUE\n" BUNDLE_A,
     "tls_verify=false\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"tls_verify last global line wins",
     "[global]\ntls_verify = no\n" BUNDLE_A "[global]\ntls_verify = 1\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"tls_verify in a bundle or unknown global key has no effect",
     "[global]\nurl = x\n" BUNDLE_A "tls_verify = no\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"keys before any header are ignored", "tls_verify = no\nurl = x\n" BUNDLE_A,
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"capitalised or padded global is an ignored section",
     "[Global]\ntls_verify = no\n[ global ]\ntls_verify = no\n" BUNDLE_A,
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"header with trailing text is an ignored section",
     "[bundle.b] # web\nurl = x\ntarget_dir = y\n" BUNDLE_A "[global] ;x\ntls_verify = no\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"bundle names verbatim; odd headers ignored",
     "[bundle. x y ]\nurl=u\ntarget_dir=d\n[bundle.a.b]\nurl=u\ntarget_dir=d\n"
     "[bundle.[x]]\nurl=u\ntarget_dir=d\n[bundle.]\nurl=u\ntarget_dir=d\n"
     "[bundle.c\nurl=u\ntarget_dir=d\n[BUNDLE]\nurl=u\ntarget_dir=d\n",
     "tls_verify=true\n"
     "[ x y ] url=u dir=d poll=60 versioned archive\n"
     "[a.b] url=u dir=d poll=60 versioned archive\n"
     "[[x]] url=u dir=d poll=60 versioned archive\n"},
    // Records and lines go by name: the first bundle of a name stays, a
    // later one is skipped with an error (an incomplete first one is no
    // bundle, so the next of its name stays).
    {"repeated headers: the later bundle is skipped",
     "[bundle.a]\nurl=1\ntarget_dir=d\nmode=direct\n[bundle.a]\nurl=2\ntarget_dir=e\n"
     "[bundle]\nurl=3\n[bundle]\nurl=4\ntarget_dir=g\n[bundle]\nurl=5\ntarget_dir=h\n",
     "tls_verify=true\n"
     "[a] url=1 dir=d poll=60 direct archive\n"
     "[default] url=4 dir=g poll=60 versioned archive\n",
     "error(config): bundle 'a' is defined more than once; the later one is skipped\n"
     "warning(config): bundle 'default' missing url or target_dir, skipping\n"
     "error(config): bundle 'default' is defined more than once; the later one is skipped\n"},
    {"incomplete bundles are dropped with a warning each",
     "[bundle.no-dir]\nurl=u\n[bundle.no-url]\ntarget_dir=d\n" BUNDLE_A "[bundle]\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n",
     "warning(config): bundle 'no-dir' missing url or target_dir, skipping\n"
     "warning(config): bundle 'no-url' missing url or target_dir, skipping\n"
     "warning(config): bundle 'default' missing url or target_dir, skipping\n"},
    {"an ignored header closes the bundle before it", BUNDLE_A "[other]\nurl = x\n",
     "tls_verify=true\n[a] url=u dir=d poll=60 versioned archive\n"},
    {"a lone carriage return does not end a line",
     "[bundle.a]\rurl=x\n[bundle.b]\nurl=u\rtarget_dir=d\ntarget_dir=e\n",
     "tls_verify=true\n[b] url=u\rtarget_dir=d dir=e poll=60 versioned archive\n"},
    {"empty text", "", "tls_verify=true\n"},
};

TEST(ParseConfig, Grammar) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        test::StderrCapture capture;
        const Config config = parseConfig(c.text);
        EXPECT_EQ(describe(config), c.parsed);
        EXPECT_EQ(capture.text(), c.log);
    }
}

// The keys that `[global]` may default: a bundle's own line wins, `[global]`
// reaches bundles before and after it, and a value that does not parse
// warns and counts as absent (so the default applies instead).
TEST(ParseConfig, GlobalDefaultsAndNewKeyWarnings) {
    test::StderrCapture capture;
    const Config config = parseConfig(
        "[bundle.early]\nurl=u\ntarget_dir=d\nio_timeout=5\n"
        "[global]\nio_timeout=30\nconnect_timeout=1_0\npoll_jitter=101\nlog_format=json\n"
        "durable=yes\nstate_dir=/var/db/q\n"
        "[bundle.late]\nurl=u\ntarget_dir=d\nconnect_timeout=ten\nmax_payload_bytes=1000000\n"
        "keep_versions=0\ndurable=maybe\npublic_key=/k.pub\npre_switch=true\n");
    ASSERT_EQ(config.bundles.size(), 2U);
    const BundleOptions& early = config.bundles[0].options;
    const BundleOptions& late = config.bundles[1].options;
    EXPECT_EQ(early.io_timeout, 5U);
    EXPECT_EQ(early.connect_timeout, 10U);
    EXPECT_EQ(late.io_timeout, 30U);
    EXPECT_EQ(late.connect_timeout, 10U);
    EXPECT_EQ(late.max_payload_bytes, 1000000U);
    EXPECT_FALSE(early.max_payload_bytes);
    EXPECT_FALSE(late.poll_jitter);
    EXPECT_FALSE(late.keep_versions);
    EXPECT_EQ(late.durable, true);
    EXPECT_EQ(config.bundles[1].public_key, "/k.pub");
    EXPECT_EQ(config.bundles[1].pre_switch, "true");
    EXPECT_EQ(config.state_dir, "/var/db/q");
    EXPECT_EQ(config.log_format, LogFormat::json);
    EXPECT_EQ(capture.text(),
              "warning(config): [global]: poll_jitter = '101' is not a number; ignored\n"
              "warning(config): bundle 'late': connect_timeout = 'ten' is not a number; ignored\n"
              "warning(config): bundle 'late': keep_versions = '0' is not a number; ignored\n"
              "warning(config): bundle 'late': durable = 'maybe' is not yes or no; ignored\n");
}

// An empty path for the agent's own files would turn every file name into
// one below "/": it counts as absent.
TEST(ParseConfig, EmptyAgentFilePathsAreIgnored) {
    test::StderrCapture capture;
    const Config config =
        parseConfig("[global]\nstate_dir = \"\"\nmetrics_file = ''\n[bundle.a]\nurl=u\ntarget_dir=d\n");
    EXPECT_FALSE(config.state_dir);
    EXPECT_FALSE(config.metrics_file);
    EXPECT_EQ(capture.text(),
              "warning(config): [global]: state_dir = '' is empty; ignored\n"
              "warning(config): [global]: metrics_file = '' is empty; ignored\n");
}

// A configuration file padded with a comment line to exactly `size` bytes.
std::string paddedConfig(std::string_view body, std::size_t size) {
    std::string text(body);
    text += "#";
    text.append(size - text.size() - 1, 'x');
    text += "\n";
    return text;
}

TEST(LoadConfig, ReadsFileAndLogsSummary) {
    test::TempDir dir;
    const std::string path = dir / "q.conf";
    test::writeFile(path, kExample);
    test::StderrCapture capture;
    auto config = loadConfig(path);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(describe(*config), kExampleParsed);
    EXPECT_EQ(capture.text(), "info(config): loaded config from " + path + ": 3 bundle(s)\n");
}

TEST(LoadConfig, SizeLimitIsInclusive) {
    test::TempDir dir;
    const std::string at_limit = dir / "at.conf";
    const std::string over_limit = dir / "over.conf";
    test::writeFile(at_limit, paddedConfig(BUNDLE_A, kMaxConfigBytes));
    test::writeFile(over_limit, paddedConfig(BUNDLE_A, kMaxConfigBytes + 1));

    test::StderrCapture capture;
    auto accepted = loadConfig(at_limit);
    ASSERT_TRUE(accepted.has_value());
    EXPECT_EQ(accepted->bundles.size(), 1u);

    auto refused = loadConfig(over_limit);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().failure, ConfigFailure::read_failed);
    EXPECT_EQ(refused.error().error, Error::FileTooBig);
    // Read failures are the caller's to report.
    EXPECT_EQ(capture.text(), "info(config): loaded config from " + at_limit + ": 1 bundle(s)\n");
}

TEST(LoadConfig, Failures) {
    test::TempDir dir;
    test::writeFile(dir / "empty.conf", "");
    test::writeFile(dir / "global.conf", "[global]\ntls_verify = no\n");
    test::writeFile(dir / "no-dir.conf", "[bundle.web]\nurl = http://h/\n");
    std::filesystem::create_directory(dir / "a-directory");
    test::writeFile(dir / "file", "x");
    // Short components, so that only the length of the whole path matters.
    std::string long_path = dir.str();
    while (long_path.size() < 1021) long_path += "/n";
    long_path.resize(1023, 'n');
    ASSERT_EQ(long_path.size(), 1023u);
    const std::string too_long_path = long_path + "n";

    struct FailureCase {
        std::string path;
        ConfigFailure failure;
        Error error;
        std::string log;
    };
    const FailureCase cases[] = {
        {dir / "missing.conf", ConfigFailure::reported, Error::FileNotFound,
         "error(config): config file not found: " + (dir / "missing.conf") + "\n"},
        {dir / "empty.conf", ConfigFailure::reported, Error::ConfigError,
         "error(config): no valid bundle definitions found\n"},
        {dir / "global.conf", ConfigFailure::reported, Error::ConfigError,
         "error(config): no valid bundle definitions found\n"},
        {dir / "no-dir.conf", ConfigFailure::reported, Error::ConfigError,
         "warning(config): bundle 'web' missing url or target_dir, skipping\n"
         "error(config): no valid bundle definitions found\n"},
        {dir / "a-directory", ConfigFailure::read_failed, Error::IsDir, ""},
        {dir / "file/below", ConfigFailure::read_failed, Error::NotDir, ""},
        // 1023 bytes reach the system (and are simply missing there).
        {long_path, ConfigFailure::reported, Error::FileNotFound,
         "error(config): config file not found: " + long_path + "\n"},
        {too_long_path, ConfigFailure::read_failed, Error::NameTooLong, ""},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.path);
        test::StderrCapture capture;
        auto config = loadConfig(c.path);
        ASSERT_FALSE(config.has_value());
        EXPECT_EQ(config.error().failure, c.failure);
        if (c.failure == ConfigFailure::read_failed) {
            EXPECT_EQ(config.error().error, c.error);
        }
        EXPECT_EQ(capture.text(), c.log);
    }
}

TEST(LoadConfig, SampleConfigurationParses) {
    const std::string text = test::readFile(test::sourceDir() + "/examples/demo.conf");
    test::StderrCapture capture;
    const Config config = parseConfig(text);
    EXPECT_EQ(config.bundles.size(), 2u);
    EXPECT_EQ(capture.text(), "");
}

}  // namespace
}  // namespace qs
