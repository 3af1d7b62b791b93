// The Hello reader on messages built byte by byte: each malformed shape is
// refused, each well-formed one read in full.
#include "tls/hello_message.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace qs {
namespace {

std::string u16(unsigned value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

// A handshake message of `type` around `body`, with a correct 24-bit length.
std::string message(unsigned char type, const std::string& body) {
    return std::string(1, static_cast<char>(type)) + '\0' + u16(static_cast<unsigned>(body.size())) +
           body;
}

std::string extension(unsigned type, const std::string& body) {
    return u16(type) + u16(static_cast<unsigned>(body.size())) + body;
}

const std::string kRandom(32, 'r');

std::string clientHelloBody(const std::string& suites, const std::string& extensions) {
    return "\x03\x03" + kRandom + '\x20' + std::string(32, 's') +
           u16(static_cast<unsigned>(suites.size())) + suites + "\x01" + std::string(1, '\0') +
           (extensions.empty() ? "" : u16(static_cast<unsigned>(extensions.size())) + extensions);
}

HelloBytes bytes(const std::string& text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

TEST(HelloMessage, ClientHellosAreReadOrRefusedWhole) {
    const std::string suites = u16(0x1303) + u16(0xC02F);
    const std::string shares =
        u16(4 + 32 + 4 + 65) + u16(0x001D) + u16(32) + std::string(32, 'x') + u16(0x0017) +
        u16(65) + std::string(65, 'y');
    const std::string extensions = extension(kExtensionKeyShare, shares) + extension(45, "\x01\x01");
    const std::string good = clientHelloBody(suites, extensions);

    struct Case {
        const char* name;
        std::string message;
        bool parses;
    };
    const Case cases[] = {
        {"well formed", message(1, good), true},
        {"no extensions block at all", message(1, clientHelloBody(suites, "")), true},
        {"a ServerHello type", message(2, good), false},
        {"length one short", message(1, good).substr(0, 4 + good.size() - 1), false},
        {"a byte after the extensions", message(1, good + "x"), false},
        {"odd cipher suite length", message(1, clientHelloBody(suites + "\x13", extensions)), false},
        {"session id over 32 bytes",
         message(1, "\x03\x03" + kRandom + '\x21' + std::string(33, 's') + u16(2) + u16(0x1301) +
                        "\x01" + std::string(1, '\0')),
         false},
        {"no compression method",
         message(1, "\x03\x03" + kRandom + '\0' + u16(2) + u16(0x1301) + std::string(1, '\0')),
         false},
        {"extension longer than its block",
         message(1, clientHelloBody(suites, u16(51) + u16(200) + "ab")), false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto hello = parseHello(bytes(c.message), HelloSender::client);
        ASSERT_EQ(hello.has_value(), c.parses);
        if (!hello || std::string_view(c.name) != "well formed") continue;
        EXPECT_EQ(hello->legacy_version, 0x0303);
        EXPECT_EQ(hello->session_id.size(), 32u);
        EXPECT_EQ(hello->cipher_suites, (std::vector<std::uint16_t>{0x1303, 0xC02F}));
        ASSERT_EQ(hello->extensions.size(), 2u);
        const HelloExtension* share = hello->find(kExtensionKeyShare);
        ASSERT_NE(share, nullptr);
        EXPECT_EQ(keyShareGroups(share->body), (std::vector<std::uint16_t>{0x001D, 0x0017}));
        EXPECT_EQ(hello->find(kExtensionServerName), nullptr);
    }
}

TEST(HelloMessage, ServerHelloMarksAreRecognised) {
    const auto serverHello = [](const std::string& random, const std::string& extensions) {
        return message(2, "\x03\x03" + random + '\0' + u16(0x1301) + std::string(1, '\0') +
                              (extensions.empty()
                                   ? ""
                                   : u16(static_cast<unsigned>(extensions.size())) + extensions));
    };
    const std::string retry_random =
        "\xCF\x21\xAD\x74\xE5\x9A\x61\x11\xBE\x1D\x8C\x02\x1E\x65\xB8\x91"
        "\xC2\xA2\x11\x16\x7A\xBB\x8C\x5E\x07\x9E\x09\xE2\xC8\xA8\x33\x9C";
    struct Case {
        const char* name;
        std::string message;
        bool retry;
        bool sentinel;
        std::optional<std::uint16_t> version;
    };
    const Case cases[] = {
        {"plain TLS 1.2", serverHello(kRandom, ""), false, false, std::nullopt},
        {"TLS 1.3 through supported_versions",
         serverHello(kRandom, extension(kExtensionSupportedVersions, u16(0x0304))), false, false,
         0x0304},
        {"a retry request",
         serverHello(retry_random, extension(kExtensionSupportedVersions, u16(0x0304))), true,
         false, 0x0304},
        {"TLS 1.2 sentinel", serverHello(std::string(24, 'r') + "DOWNGRD" + '\0', ""), false, true,
         std::nullopt},
        {"TLS 1.1 sentinel", serverHello(std::string(24, 'r') + "DOWNGRD\x01", ""), false, true,
         std::nullopt},
        {"not a sentinel", serverHello(std::string(24, 'r') + "DOWNGRD\x02", ""), false, false,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto hello = parseHello(bytes(c.message), HelloSender::server);
        ASSERT_TRUE(hello);
        EXPECT_EQ(hello->cipher_suites, std::vector<std::uint16_t>{0x1301});
        EXPECT_EQ(isHelloRetryRequest(*hello), c.retry);
        EXPECT_EQ(carriesDowngradeSentinel(*hello), c.sentinel);
        EXPECT_EQ(selectedVersion(*hello), c.version);
    }
}

TEST(HelloMessage, HandshakeSignatureSchemes) {
    struct Case {
        const char* name;
        std::string message;
        std::optional<std::uint16_t> scheme;
    };
    const Case cases[] = {
        {"CertificateVerify", message(15, u16(0x0804) + u16(2) + "sg"), 0x0804},
        {"ServerKeyExchange", message(12, "\x03" + u16(0x001D) + "\x02" + "pt" + u16(0x0403)),
         0x0403},
        {"ServerKeyExchange with a point past the end", message(12, "\x03" + u16(0x001D) + "\x09pt"),
         std::nullopt},
        {"CertificateVerify cut short", message(15, "\x08"), std::nullopt},
        {"another message", message(11, u16(0x0804)), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(handshakeSignatureScheme(bytes(c.message)), c.scheme);
    }
    EXPECT_EQ(codeList(bytes(u16(4) + u16(0x0017) + u16(0x001D))),
              (std::vector<std::uint16_t>{0x0017, 0x001D}));
    EXPECT_EQ(codeList(bytes(u16(3) + "abc")), std::nullopt);
}

}  // namespace
}  // namespace qs
