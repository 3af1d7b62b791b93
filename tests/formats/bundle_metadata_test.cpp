#include "formats/bundle_metadata.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace qs {
namespace {

constexpr std::string_view kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

std::string file(std::string_view bundle = "bundle: site\n",
                 std::string_view serial = "serial: 1733822400\n",
                 std::string_view expires = "expires: 2026-12-17T00:00:00Z\n",
                 std::string_view size = "size: 104857600\n",
                 std::string_view sha256 = {}) {
    std::string text;
    text.append(bundle).append(serial).append(expires).append(size);
    if (sha256.empty()) {
        text.append("sha256: ").append(kDigest).append("\n");
    } else {
        text.append(sha256);
    }
    return text;
}

TEST(BundleMetadataTest, ReadsEveryField) {
    const auto parsed = parseBundleMetadata(file());
    ASSERT_TRUE(parsed) << errorName(parsed.error());
    EXPECT_EQ(parsed->bundle, "site");
    EXPECT_EQ(parsed->serial, 1733822400u);
    EXPECT_EQ(parsed->expires, 1797465600);  // date -u -d 2026-12-17 +%s
    EXPECT_EQ(parsed->size, 104857600u);
    EXPECT_EQ(parsed->sha256, kDigest);
}

TEST(BundleMetadataTest, AcceptedForms) {
    struct Case {
        std::string_view name;
        std::string text;
    };
    const std::string digest_line = "sha256: " + std::string(kDigest) + "\n";
    const Case cases[] = {
        {"lines in another order",
         digest_line + "size: 104857600\nexpires: 2026-12-17T00:00:00Z\nserial: 1733822400\nbundle: site\n"},
        {"the last line without its LF", file().substr(0, file().size() - 1)},
        {"lower-case t and z, and a fraction of a second",
         file("bundle: site\n", "serial: 1733822400\n", "expires: 2026-12-17t00:00:00.999z\n")},
    };
    for (const Case& c : cases) {
        const auto parsed = parseBundleMetadata(c.text);
        ASSERT_TRUE(parsed) << c.name << ": " << errorName(parsed.error());
        EXPECT_EQ(parsed->bundle, "site") << c.name;
        EXPECT_EQ(parsed->serial, 1733822400u) << c.name;
        EXPECT_EQ(parsed->expires, 1797465600) << c.name;
        EXPECT_EQ(parsed->sha256, kDigest) << c.name;
    }
}

TEST(BundleMetadataTest, RefusedFiles) {
    struct Case {
        std::string_view name;
        std::string text;
        Error expected;
    };
    const std::string bundle = "bundle: site\n";
    const std::string serial = "serial: 1733822400\n";
    const std::string expires = "expires: 2026-12-17T00:00:00Z\n";
    const std::string size = "size: 104857600\n";
    const Case cases[] = {
        {"empty", "", Error::MetadataLineMissing},
        {"no sha256 line", bundle + serial + expires + size, Error::MetadataLineMissing},
        {"an unknown line", file() + "comment: hello\n", Error::MetadataLineUnknown},
        {"a key in the payload's own words", file() + "sha512: 00\n", Error::MetadataLineUnknown},
        {"bundle twice", file() + "bundle: other\n", Error::MetadataLineDuplicate},
        {"serial twice, same value", file() + serial, Error::MetadataLineDuplicate},
        {"an empty line", bundle + "\n" + serial + expires + size, Error::MetadataLineMalformed},
        {"a blank line at the end", file() + "\n", Error::MetadataLineMalformed},
        {"CR LF line ends", "bundle: site\r\n" + serial + expires + size, Error::MetadataLineMalformed},
        {"no colon", "bundle site\n" + serial, Error::MetadataLineMalformed},
        {"no space after the colon", "bundle:site\n", Error::MetadataLineMalformed},
        {"two spaces after the colon", "bundle:  site\n", Error::MetadataLineMalformed},
        {"a space before the colon", "bundle : site\n", Error::MetadataLineMalformed},
        {"a comment line", "# site\n" + file(), Error::MetadataLineMalformed},
        {"an upper-case key", "Bundle: site\n", Error::MetadataLineMalformed},
        {"an empty value", "bundle: \n", Error::MetadataLineMalformed},
        {"a bundle with a blank", "bundle: my site\n", Error::MetadataLineMalformed},
        {"a value with a trailing blank", "bundle: site \n", Error::MetadataLineMalformed},
        {"serial 0", file(bundle, "serial: 0\n"), Error::MetadataLineMalformed},
        {"a negative serial", file(bundle, "serial: -5\n"), Error::MetadataLineMalformed},
        {"a serial with a sign", file(bundle, "serial: +5\n"), Error::MetadataLineMalformed},
        {"a serial with underscores", file(bundle, "serial: 1_000\n"), Error::MetadataLineMalformed},
        {"a serial past 64 bits", file(bundle, "serial: 18446744073709551616\n"),
         Error::MetadataLineMalformed},
        {"a size in hexadecimal", file(bundle, serial, expires, "size: 0x10\n"), Error::MetadataLineMalformed},
        {"an expiry with an offset", file(bundle, serial, "expires: 2026-12-17T00:00:00+00:00\n"),
         Error::MetadataLineMalformed},
        {"an expiry without a zone", file(bundle, serial, "expires: 2026-12-17T00:00:00\n"),
         Error::MetadataLineMalformed},
        {"an expiry as a date", file(bundle, serial, "expires: 2026-12-17\n"), Error::MetadataLineMalformed},
        {"an expiry in seconds", file(bundle, serial, "expires: 1797465600\n"), Error::MetadataLineMalformed},
        {"February 30th", file(bundle, serial, "expires: 2026-02-30T00:00:00Z\n"), Error::MetadataLineMalformed},
        {"February 29th of a common year", file(bundle, serial, "expires: 2100-02-29T00:00:00Z\n"),
         Error::MetadataLineMalformed},
        {"hour 24", file(bundle, serial, "expires: 2026-12-17T24:00:00Z\n"), Error::MetadataLineMalformed},
        {"a leap second", file(bundle, serial, "expires: 2016-12-31T23:59:60Z\n"), Error::MetadataLineMalformed},
        {"a fraction without digits", file(bundle, serial, "expires: 2026-12-17T00:00:00.Z\n"),
         Error::MetadataLineMalformed},
        {"a short digest", file(bundle, serial, expires, size, "sha256: 9f86\n"), Error::MetadataLineMalformed},
        {"an upper-case digest",
         file(bundle, serial, expires, size, "sha256: 9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08\n"),
         Error::MetadataLineMalformed},
        {"a digest with its file name, as sha256sum prints it",
         file(bundle, serial, expires, size, "sha256: " + std::string(kDigest) + "  site.tgz\n"),
         Error::MetadataLineMalformed},
    };
    for (const Case& c : cases) {
        const auto parsed = parseBundleMetadata(c.text);
        ASSERT_FALSE(parsed) << c.name;
        EXPECT_EQ(parsed.error(), c.expected) << c.name << ": got " << errorName(parsed.error());
    }
}

TEST(BundleMetadataTest, TimesBothWays) {
    struct Case {
        std::string_view text;
        std::int64_t seconds;
    };
    // Values from `date -u -d TEXT +%s`.
    const Case cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2000-02-29T12:34:56Z", 951827696},
        {"2024-12-31T23:59:59Z", 1735689599},
        {"2026-12-17T00:00:00Z", 1797465600},
        {"2038-01-19T03:14:08Z", 2147483648},
        {"9999-12-31T23:59:59Z", 253402300799},
    };
    for (const Case& c : cases) {
        const auto parsed = parseUtcTime(c.text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(*parsed, c.seconds) << c.text;
        EXPECT_EQ(formatUtcTime(c.seconds), c.text);
    }
    EXPECT_FALSE(parseUtcTime("1969-12-31T23:59:59Z"));
}

TEST(BundleMetadataTest, FormatReadsBack) {
    BundleMetadata metadata{"site", 7, 1797465600, 0, std::string(kDigest)};
    const std::string text = formatBundleMetadata(metadata);
    EXPECT_EQ(text, "bundle: site\nserial: 7\nexpires: 2026-12-17T00:00:00Z\nsize: 0\nsha256: " +
                        std::string(kDigest) + "\n");
    const auto parsed = parseBundleMetadata(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, metadata);
}

}  // namespace
}  // namespace qs
