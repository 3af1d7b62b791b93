#pragma once
// The Hello messages of a TLS handshake read byte by byte, without the TLS
// library: the session looks at what it sends and receives to make the
// checks the library does not (offered key shares, retries, downgrade
// sentinels, handshake signature schemes). Every read is bounds-checked; a
// message that does not parse gives nullopt and is left to the library,
// which refuses it with its own reason.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qs {

inline constexpr std::uint16_t kExtensionServerName = 0;
inline constexpr std::uint16_t kExtensionSupportedGroups = 10;
inline constexpr std::uint16_t kExtensionSignatureAlgorithms = 13;
inline constexpr std::uint16_t kExtensionSupportedVersions = 43;
inline constexpr std::uint16_t kExtensionKeyShare = 51;

inline constexpr unsigned char kHandshakeClientHello = 1;
inline constexpr unsigned char kHandshakeServerHello = 2;
inline constexpr unsigned char kHandshakeCertificateRequest = 13;
inline constexpr unsigned char kHandshakeServerKeyExchange = 12;
inline constexpr unsigned char kHandshakeCertificateVerify = 15;

using HelloBytes = std::span<const unsigned char>;

struct HelloExtension {
    std::uint16_t type = 0;
    HelloBytes body;  // a view into the message
};

enum class HelloSender { client, server };

struct Hello {
    std::uint16_t legacy_version = 0;
    std::array<unsigned char, 32> random{};
    HelloBytes session_id;
    // The client's offer in its order; the server's one choice.
    std::vector<std::uint16_t> cipher_suites;
    std::vector<HelloExtension> extensions;  // in message order

    // The first extension of `type`, or null.
    [[nodiscard]] const HelloExtension* find(std::uint16_t type) const;
};

// A ClientHello or ServerHello, its four-byte handshake header included.
[[nodiscard]] std::optional<Hello> parseHello(HelloBytes message, HelloSender sender);

// Whether a ServerHello is a HelloRetryRequest (its random is the fixed one).
[[nodiscard]] bool isHelloRetryRequest(const Hello& hello);

// Whether a TLS 1.2 ServerHello's random ends in the downgrade sentinel
// ("DOWNGRD" and 0 or 1).
[[nodiscard]] bool carriesDowngradeSentinel(const Hello& hello);

// The version a ServerHello selects through supported_versions; nullopt
// without the extension.
[[nodiscard]] std::optional<std::uint16_t> selectedVersion(const Hello& hello);

// The groups of a ClientHello's key_share extension body, in order.
[[nodiscard]] std::optional<std::vector<std::uint16_t>> keyShareGroups(HelloBytes body);

// A two-byte-length list of two-byte codes (supported_groups,
// signature_algorithms), in order.
[[nodiscard]] std::optional<std::vector<std::uint16_t>> codeList(HelloBytes body);

// The signature scheme of a CertificateVerify (TLS 1.3) or of an ECDHE
// ServerKeyExchange (TLS 1.2), handshake header included.
[[nodiscard]] std::optional<std::uint16_t> handshakeSignatureScheme(HelloBytes message);

}  // namespace qs
