#include "core/option_text.hpp"

#include <gtest/gtest.h>

#include <string>

#include "config/load_config.hpp"

namespace qs {
namespace {

// A value every key of its kind accepts.
std::string goodValue(const OptionKey& spec) {
    switch (spec.kind) {
    case OptionKind::number: return std::to_string(spec.minimum);
    case OptionKind::yes_no: return "yes";
    case OptionKind::text: return "a.example";
    case OptionKind::url: return "http://u:pw@127.0.0.1:3128";
    }
    return "";
}

// Every row of the key list is read in a bundle and, where its scope says
// so, defaulted from [global]; `check` shows it back (a password masked).
TEST(OptionKeys, EveryRowIsParsedInheritedAndShown) {
    const BundleOptions none;
    forEachOption(none, [](const OptionKey& spec, const auto&) {
        SCOPED_TRACE(std::string(spec.name));
        const std::string line = std::string(spec.name) + " = " + goodValue(spec) + "\n";
        const std::string bundle = "[bundle.a]\nurl = http://h/\ntarget_dir = /srv/a\n";
        const Config own = parseConfig(bundle + line);
        ASSERT_EQ(own.bundles.size(), 1u);
        const std::string shown = optionsText(own.bundles[0].options, OptionsShown::every);
        EXPECT_TRUE(shown.starts_with(" " + std::string(spec.name) + "=")) << shown;
        EXPECT_EQ(shown.find("pw"), std::string::npos) << shown;
        EXPECT_TRUE(own.bundles[0].options.any());

        const Config inherited = parseConfig("[global]\n" + line + bundle);
        ASSERT_EQ(inherited.bundles.size(), 1u);
        const bool global = spec.scope == OptionScope::bundle_and_global;
        EXPECT_EQ(inherited.bundles[0].options == own.bundles[0].options, global);

        if (spec.kind == OptionKind::number && spec.maximum != UINT64_MAX) {
            const Config over = parseConfig(bundle + std::string(spec.name) + " = " +
                                            std::to_string(spec.maximum + 1) + "\n");
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

}  // namespace
}  // namespace qs
