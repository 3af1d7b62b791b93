#include "util/base64.hpp"

#include <array>
#include <cstdint>
#include <new>

namespace qs {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kNotInAlphabet = 0xFF;
constexpr std::uint8_t kSkippedSpace = 0xFE;
constexpr std::uint8_t kPadding = 0xFD;

// One lookup per character tells data, white space, padding and strangers
// apart: every certificate of the system store passes through here on
// every load.
constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kNotInAlphabet;
    for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    for (const char c : {' ', '\t', '\r', '\n'}) table[static_cast<unsigned char>(c)] = kSkippedSpace;
    table[static_cast<unsigned char>('=')] = kPadding;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = makeDecodeTable();

}  // namespace

std::size_t encodeBase64(std::string_view bytes, std::span<char> out) {
    std::size_t written = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t take = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group <<= 8;
            if (k < take) group |= static_cast<unsigned char>(bytes[i + k]);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            const std::size_t sextet = (group >> (18 - 6 * k)) & 0x3f;
            out[written++] = k <= take ? kAlphabet[sextet] : '=';
        }
    }
    return written;
}

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
            if (value == kSkippedSpace) continue;
            if (value == kPadding) break;
            out.resize(static_cast<std::size_t>(write - out.data()));
            return std::unexpected(Error::InvalidCharacter);
        }
        out.resize(static_cast<std::size_t>(write - out.data()));

        // What follows the data may only be "=" (and white space), as many as
        // the data length calls for.
        std::size_t pad_chars = 0;
        for (; position < text.size(); ++position) {
            const std::uint8_t value = kDecodeTable[static_cast<unsigned char>(text[position])];
            if (value == kSkippedSpace) continue;
            if (value == kPadding) {
                ++pad_chars;
                continue;
            }
            if (value == kNotInAlphabet) return std::unexpected(Error::InvalidCharacter);
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

}  // namespace qs
