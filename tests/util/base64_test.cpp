#include "util/base64.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace qs {
namespace {

std::string encoded(std::string_view bytes) {
    std::string out(base64EncodedLength(bytes.size()), '?');
    out.resize(encodeBase64(bytes, out));
    return out;
}

// The test vectors of RFC 4648, section 10: each padding length.
TEST(Base64, EncodesWithPadding) {
    struct Case {
        std::string_view bytes;
        std::string_view text;
    };
    const Case cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF\xBF", "+/+/"},
        {std::string_view("\0\0", 2), "AAA="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(encoded(c.bytes), c.text);
    }
}

// Every byte value at every position of a group survives the round trip.
TEST(Base64, DecodesWhatItEncodes) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (std::size_t length = 0; length <= all.size(); length += 1 + length / 8) {
        for (std::size_t shift = 0; shift < 3 && shift + length <= all.size(); ++shift) {
            const std::string_view bytes = std::string_view(all).substr(shift, length);
            std::string out = "kept";
            ASSERT_TRUE(decodeBase64(encoded(bytes), out)) << length;
            EXPECT_EQ(out, "kept" + std::string(bytes)) << length;
        }
    }
}

TEST(Base64, DecodesTheStandardAlphabetWithExactPadding) {
    struct Case {
        std::string_view text;
        std::optional<std::string_view> decoded;  // none: fails with `error`
        Error error = Error::Unexpected;
    };
    const Case cases[] = {
        {"", ""},
        {"QQ==", "A"},
        {"QUI=", "AB"},
        {"QUJD", "ABC"},
        {"+/+/", "\xFB\xFF\xBF"},
        {" Q Q\r\n=\t= \n", "A"},                        // white space anywhere, padding included
        {"QQ", std::nullopt, Error::InvalidPadding},     // padding missing
        {"QQ=", std::nullopt, Error::InvalidPadding},    // too little
        {"QQ===", std::nullopt, Error::InvalidPadding},  // too much
        {"QUJD=", std::nullopt, Error::InvalidPadding},  // none was due
        {"Q", std::nullopt, Error::InvalidPadding},      // six bits make no byte
        {"QR==", std::nullopt, Error::InvalidPadding},   // unused bits not zero
        {"QQ==QQ==", std::nullopt, Error::InvalidPadding},  // data after the padding
        {"QQ=!", std::nullopt, Error::InvalidCharacter},
        {"Q!==", std::nullopt, Error::InvalidCharacter},
        {"QQ-_", std::nullopt, Error::InvalidCharacter},    // URL alphabet is not ours
        {"QQ\v==", std::nullopt, Error::InvalidCharacter},  // only space, tab, CR, LF are skipped
        {std::string_view("QU\0JD", 5), std::nullopt, Error::InvalidCharacter},
    };
    for (const Case& c : cases) {
        std::string out;
        const auto decoded = decodeBase64(c.text, out);
        if (c.decoded) {
            EXPECT_TRUE(decoded) << c.text;
            EXPECT_EQ(out, *c.decoded) << c.text;
        } else {
            ASSERT_FALSE(decoded) << c.text;
            EXPECT_EQ(decoded.error(), c.error) << c.text;
        }
    }
}

}  // namespace
}  // namespace qs
