#include "tls/hello_message.hpp"

#include <algorithm>

namespace qs {

namespace {

// A bounds-checked view over one message; every read that would pass the
// end fails and consumes nothing.
class Cursor {
public:
    explicit Cursor(HelloBytes bytes) : bytes_(bytes) {}

    bool skip(std::size_t n) {
        if (n > bytes_.size()) return false;
        bytes_ = bytes_.subspan(n);
        return true;
    }
    std::optional<unsigned> u8() {
        if (bytes_.empty()) return std::nullopt;
        const unsigned value = bytes_[0];
        skip(1);
        return value;
    }
    std::optional<std::uint16_t> u16() {
        if (bytes_.size() < 2) return std::nullopt;
        const auto value = static_cast<std::uint16_t>((bytes_[0] << 8) | bytes_[1]);
        skip(2);
        return value;
    }
    // The next `n` bytes, consumed.
    std::optional<HelloBytes> take(std::size_t n) {
        if (n > bytes_.size()) return std::nullopt;
        const HelloBytes part = bytes_.first(n);
        skip(n);
        return part;
    }
    [[nodiscard]] std::size_t size() const { return bytes_.size(); }

private:
    HelloBytes bytes_;
};

// The random of a ServerHello that is really a HelloRetryRequest.
constexpr std::array<unsigned char, 32> kHelloRetryRandom = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

// The extensions block at the end of a Hello; absent is empty.
std::optional<std::vector<HelloExtension>> readExtensions(Cursor& message) {
    std::vector<HelloExtension> extensions;
    if (message.size() == 0) return extensions;
    const auto length = message.u16();
    if (!length) return std::nullopt;
    const auto block_bytes = message.take(*length);
    if (!block_bytes || message.size() != 0) return std::nullopt;
    Cursor block(*block_bytes);
    while (block.size() > 0) {
        const auto type = block.u16();
        const auto size = block.u16();
        if (!type || !size) return std::nullopt;
        const auto body = block.take(*size);
        if (!body) return std::nullopt;
        extensions.push_back(HelloExtension{*type, *body});
    }
    return extensions;
}

}  // namespace

const HelloExtension* Hello::find(std::uint16_t type) const {
    for (const HelloExtension& extension : extensions)
        if (extension.type == type) return &extension;
    return nullptr;
}

std::optional<Hello> parseHello(HelloBytes message, HelloSender sender) {
    Cursor cursor(message);
    const auto type = cursor.u8();
    const unsigned expected =
        sender == HelloSender::client ? kHandshakeClientHello : kHandshakeServerHello;
    if (!type || *type != expected) return std::nullopt;
    // A 24-bit length that must cover exactly the rest.
    const auto high = cursor.u8();
    const auto low = cursor.u16();
    if (!high || !low || ((std::size_t{*high} << 16) | *low) != cursor.size()) return std::nullopt;

    Hello hello;
    const auto version = cursor.u16();
    const auto random = cursor.take(32);
    if (!version || !random) return std::nullopt;
    hello.legacy_version = *version;
    std::copy(random->begin(), random->end(), hello.random.begin());
    const auto session_length = cursor.u8();
    if (!session_length || *session_length > 32) return std::nullopt;
    const auto session_id = cursor.take(*session_length);
    if (!session_id) return std::nullopt;
    hello.session_id = *session_id;

    if (sender == HelloSender::client) {
        const auto suites_length = cursor.u16();
        if (!suites_length || *suites_length % 2 != 0) return std::nullopt;
        const auto suites = cursor.take(*suites_length);
        if (!suites) return std::nullopt;
        Cursor list(*suites);
        while (list.size() > 0) hello.cipher_suites.push_back(*list.u16());
        const auto methods = cursor.u8();
        if (!methods || *methods == 0 || !cursor.skip(*methods)) return std::nullopt;
    } else {
        const auto suite = cursor.u16();
        const auto method = cursor.u8();
        if (!suite || !method) return std::nullopt;
        hello.cipher_suites.push_back(*suite);
    }
    auto extensions = readExtensions(cursor);
    if (!extensions) return std::nullopt;
    hello.extensions = std::move(*extensions);
    return hello;
}

bool isHelloRetryRequest(const Hello& hello) { return hello.random == kHelloRetryRandom; }

bool carriesDowngradeSentinel(const Hello& hello) {
    static constexpr std::array<unsigned char, 7> kSentinel = {'D', 'O', 'W', 'N', 'G', 'R', 'D'};
    const auto tail = std::span(hello.random).subspan(24);
    return std::equal(kSentinel.begin(), kSentinel.end(), tail.begin()) &&
           (tail[7] == 0 || tail[7] == 1);
}

std::optional<std::uint16_t> selectedVersion(const Hello& hello) {
    const HelloExtension* versions = hello.find(kExtensionSupportedVersions);
    if (versions == nullptr || versions->body.size() != 2) return std::nullopt;
    return Cursor(versions->body).u16();
}

std::optional<std::vector<std::uint16_t>> keyShareGroups(HelloBytes body) {
    Cursor cursor(body);
    const auto length = cursor.u16();
    if (!length || *length != cursor.size()) return std::nullopt;
    std::vector<std::uint16_t> groups;
    while (cursor.size() > 0) {
        const auto group = cursor.u16();
        const auto key_length = cursor.u16();
        if (!group || !key_length || !cursor.skip(*key_length)) return std::nullopt;
        groups.push_back(*group);
    }
    return groups;
}

std::optional<std::vector<std::uint16_t>> codeList(HelloBytes body) {
    Cursor cursor(body);
    const auto length = cursor.u16();
    if (!length || *length != cursor.size() || *length % 2 != 0) return std::nullopt;
    std::vector<std::uint16_t> codes;
    while (cursor.size() > 0) codes.push_back(*cursor.u16());
    return codes;
}

std::optional<std::uint16_t> handshakeSignatureScheme(HelloBytes message) {
    Cursor cursor(message);
    const auto type = cursor.u8();
    if (!type || !cursor.skip(3)) return std::nullopt;
    if (*type == kHandshakeCertificateVerify) return cursor.u16();
    if (*type != kHandshakeServerKeyExchange) return std::nullopt;
    // ECDHE parameters: curve type, named curve, the point; then the scheme.
    const auto curve_type = cursor.u8();
    const auto curve = cursor.u16();
    const auto point = cursor.u8();
    if (!curve_type || !curve || !point || !cursor.skip(*point)) return std::nullopt;
    return cursor.u16();
}

}  // namespace qs
