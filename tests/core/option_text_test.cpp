#include "core/option_text.hpp"

#include <gtest/gtest.h>

#include <string>

#include "config/load_config.hpp"

namespace qs {
namespace {

// A value every key of its kind accepts.
std::string goodValue(const OptionKey& row) {
    switch (row.kind) {
    case OptionKind::number: return std::to_string(row.minimum);
    case OptionKind::yes_no: return "yes";
    case OptionKind::text: return "a.example";
    case OptionKind::url: return "http://u:pw@127.0.0.1:3128";
    case OptionKind::tls_profile: return "compatible";
    }
    return "";
}

// Every row of the key list is read in a bundle and, where its scope says
// so, defaulted from [global]; `check` shows it back (a password masked).
TEST(OptionKeys, EveryRowIsParsedInheritedAndShown) {
    const BundleOptions none;
    forEachOption(none, [](const OptionKey& row, const auto&) {
        SCOPED_TRACE(std::string(row.name));
        const std::string line = std::string(row.name) + " = " + goodValue(row) + "\n";
        const std::string bundle = "[bundle.a]\nurl = http://h/\ntarget_dir = /srv/a\n";
        const Config own = parseConfig(bundle + line);
        ASSERT_EQ(own.bundles.size(), 1u);
        const std::string shown = optionsText(own.bundles[0].options, OptionsShown::every);
        EXPECT_TRUE(shown.starts_with(" " + std::string(row.name) + "=")) << shown;
        EXPECT_EQ(shown.find("pw"), std::string::npos) << shown;
        EXPECT_TRUE(own.bundles[0].options.any());

        const Config inherited = parseConfig("[global]\n" + line + bundle);
        ASSERT_EQ(inherited.bundles.size(), 1u);
        const bool global = row.scope == OptionScope::bundle_and_global;
        EXPECT_EQ(inherited.bundles[0].options == own.bundles[0].options, global);

        if (row.kind == OptionKind::tls_profile) {
            const Config other = parseConfig(bundle + std::string(row.name) + " = modern\n");
            EXPECT_FALSE(other.bundles[0].options.any());
        }
        if (row.kind == OptionKind::number && row.maximum != UINT64_MAX) {
            const Config over = parseConfig(bundle + std::string(row.name) + " = " +
                                            std::to_string(row.maximum + 1) + "\n");
            EXPECT_FALSE(over.bundles[0].options.any());
        }
    });
}

TEST(OptionKeys, SummaryTextsSelectTheirRows) {
    const Config config = parseConfig(
        "[bundle.a]\nurl = http://h/\ntarget_dir = /srv/a\nio_timeout = 5\npoll_jitter = 10\n"
        "proxy = http://u:pw@p:3128\nkeep_versions = 3\n");
    ASSERT_EQ(config.bundles.size(), 1u);
    const BundleOptions& o = config.bundles[0].options;
    EXPECT_EQ(optionsText(o, OptionsShown::limits), " io_timeout=5s poll_jitter=10%");
    EXPECT_EQ(optionsText(o, OptionsShown::settings), " proxy=http://u:***@p:3128");
    EXPECT_EQ(optionsText(o, OptionsShown::every),
              " io_timeout=5s poll_jitter=10% keep_versions=3 proxy=http://u:***@p:3128");
}

// What a reload logs as changed: every differing key once, passwords and
// the authorization header never shown.
TEST(OptionKeys, SettingsChangesNameEachDifference) {
    struct Case {
        std::string_view name;
        std::string before;  // lines after url and target_dir
        std::string after;
        std::string expected;
    };
    const Case cases[] = {
        {"nothing", "poll_interval = 10\n", "poll_interval = 10\n", ""},
        {"interval", "poll_interval = 10\n", "poll_interval = 15\n", "poll_interval 10 -> 15"},
        {"default interval", "", "poll_interval = 15\n", "poll_interval 60 -> 15"},
        {"enums and octal", "", "mode = direct\nformat = raw\nextract_mode = 0644\n",
         "mode versioned -> direct, format archive -> raw, extract_mode (none) -> 0644"},
        {"texts", "filename = a\npost_sync = /bin/true\n", "filename = ''\n",
         "filename a -> '', post_sync /bin/true -> (none)"},
        {"secret header", "authorization = Basic AAA\n", "authorization = Basic BBB\n",
         "authorization (value not shown)"},
        {"urls", "signature_url = http://u:one@h/s\n", "signature_url = http://u:two@h/s\nproxy = http://p:pw@p:1\n",
         "signature_url http://u:***@h/s (password changed), proxy (none) -> http://p:***@p:1"},
        {"proxy password", "proxy = http://p:a@p:1\n", "proxy = http://p:b@p:1\n",
         "proxy http://p:***@p:1 (password changed)"},
        {"options with units", "io_timeout = 5\ndurable = yes\n", "io_timeout = 7\npoll_jitter = 10\n",
         "io_timeout 5s -> 7s, poll_jitter (none) -> 10%, durable yes -> (none)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string head = "[bundle.a]\nurl = http://h/\ntarget_dir = /srv/a\n";
        const Config before = parseConfig(head + c.before);
        const Config after = parseConfig(head + c.after);
        ASSERT_EQ(before.bundles.size(), 1u);
        ASSERT_EQ(after.bundles.size(), 1u);
        EXPECT_EQ(settingsChanges(before.bundles[0], after.bundles[0]), c.expected);
    }
    // The URL itself, its password masked on both sides.
    Bundle a;
    a.url = "https://u:old@h/x";
    Bundle b = a;
    b.url = "https://u:new@h/y";
    EXPECT_EQ(settingsChanges(a, b), "url https://u:***@h/x -> https://u:***@h/y");
}

}  // namespace
}  // namespace qs
