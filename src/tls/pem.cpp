#include "tls/pem.hpp"

#include <array>
#include <cstdint>
#include <new>

namespace qs {

namespace {

constexpr std::string_view kBeginMarker = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndMarker = "-----END CERTIFICATE-----";

constexpr bool isPemSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr std::uint8_t kNotInAlphabet = 0xFF;
constexpr std::uint8_t kPemSpace = 0xFE;
constexpr std::uint8_t kPadding = 0xFD;

// One lookup per character tells data, white space, padding and strangers
// apart: every certificate of the system store passes through here on
// every load.
constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kNotInAlphabet;
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    for (const char c : {' ', '\t', '\r', '\n'}) table[static_cast<unsigned char>(c)] = kPemSpace;
    table[static_cast<unsigned char>('=')] = kPadding;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = makeDecodeTable();

std::string_view trimPemSpace(std::string_view text) {
    while (!text.empty() && isPemSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isPemSpace(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

Result<void> decodeBase64(std::string_view text, std::string& out) {
    try {
        // Written through a pointer into room made up front, then cut to
        // what was decoded.
        const std::size_t start = out.size();
        out.resize(start + text.size() / 4 * 3 + 3);
        char* write = out.data() + start;
        std::uint32_t accumulator = 0;
        unsigned bits = 0;
        std::size_t data_chars = 0;
        std::size_t position = 0;
        for (; position < text.size(); ++position) {
            const std::uint8_t value = kDecodeTable[static_cast<unsigned char>(text[position])];
            if (value < 64) {
                accumulator = (accumulator << 6) | value;
                bits += 6;
                ++data_chars;
                if (bits >= 8) {
                    bits -= 8;
                    *write++ = static_cast<char>((accumulator >> bits) & 0xFF);
                    accumulator &= (1u << bits) - 1;
                }
                continue;
            }
            if (value == kPemSpace) continue;
            if (value == kPadding) break;
            out.resize(static_cast<std::size_t>(write - out.data()));
            return std::unexpected(Error::InvalidCharacter);
        }
        out.resize(static_cast<std::size_t>(write - out.data()));

        // What follows the data may only be "=" (and white space), as many as
        // the data length calls for.
        std::size_t pad_chars = 0;
        for (; position < text.size(); ++position) {
            const char c = text[position];
            if (isPemSpace(c)) continue;
            if (c == '=') {
                ++pad_chars;
                continue;
            }
            if (kDecodeTable[static_cast<unsigned char>(c)] == kNotInAlphabet)
                return std::unexpected(Error::InvalidCharacter);
            return std::unexpected(Error::InvalidPadding);  // data after padding
        }
        std::size_t expected_pad = 0;
        switch (data_chars % 4) {
        case 0: expected_pad = 0; break;
        case 1: return std::unexpected(Error::InvalidPadding);  // six bits make no byte
        case 2: expected_pad = 2; break;
        case 3: expected_pad = 1; break;
        }
        if (pad_chars != expected_pad) return std::unexpected(Error::InvalidPadding);
        if (accumulator != 0) return std::unexpected(Error::InvalidPadding);  // stray low bits
        return {};
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

Result<bool> PemCertificateScanner::next(std::string& der) {
    const std::size_t begin = rest_.find(kBeginMarker);
    if (begin == std::string_view::npos) {
        rest_ = {};
        return false;
    }
    const std::size_t body_start = begin + kBeginMarker.size();
    const std::size_t end = rest_.find(kEndMarker, body_start);
    if (end == std::string_view::npos) return std::unexpected(Error::MissingEndCertificateMarker);
    const std::string_view body = trimPemSpace(rest_.substr(body_start, end - body_start));
    rest_.remove_prefix(end + kEndMarker.size());
    der.clear();
    QS_TRY(decodeBase64(body, der));
    return true;
}

}  // namespace qs
