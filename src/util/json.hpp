#pragma once
// JSON text (RFC 8259) for the agent's own records and log lines: string
// escaping that keeps any byte string valid JSON, and a reader for the flat
// objects the agent writes (string, number, null and boolean members).

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qs {

namespace json_detail {

// Length of the well-formed UTF-8 sequence at the start of `bytes`, or 0
// when it starts with a byte that cannot begin one there (a stray
// continuation byte, an overlong form, a surrogate, beyond U+10FFFF, or a
// sequence cut short).
std::size_t utf8SequenceLength(std::string_view bytes);

}  // namespace json_detail

// Passes `bytes` to `put` (called with std::string_view pieces) as the
// inside of a JSON string: the quote, the backslash and every byte below
// 0x20 escaped, well-formed UTF-8 kept, every byte that is not part of a
// well-formed sequence replaced by "\ufffd". Allocates nothing itself.
template <class Put>
void escapeJsonString(std::string_view bytes, Put&& put) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t plain = 0;  // bytes at the front that need no escape
    while (plain < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[plain]);
        if (byte >= 0x20 && byte != '"' && byte != '\\' && byte < 0x80) {
            ++plain;
            continue;
        }
        if (byte >= 0x80) {
            const std::size_t length = json_detail::utf8SequenceLength(bytes.substr(plain));
            if (length > 0) {
                plain += length;
                continue;
            }
        }
        put(bytes.substr(0, plain));
        char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xf]};
        switch (byte) {
        case '"': put("\\\""); break;
        case '\\': put("\\\\"); break;
        case '\n': put("\\n"); break;
        case '\r': put("\\r"); break;
        case '\t': put("\\t"); break;
        case '\b': put("\\b"); break;
        case '\f': put("\\f"); break;
        default:
            if (byte >= 0x80) {
                put("\\ufffd");
            } else {
                put(std::string_view(escape, sizeof escape));
            }
        }
        bytes.remove_prefix(plain + 1);
        plain = 0;
    }
    put(bytes);
}

// Appends `bytes` as a JSON string, quotes included.
void appendJsonString(std::string& out, std::string_view bytes);

// One member value of a flat object: text for strings (unescaped) and for
// numbers and booleans (as written); nullopt for null.
using JsonFlatObject = std::map<std::string, std::optional<std::string>, std::less<>>;

// Parses one JSON object whose members are strings, numbers, booleans or
// null (no nested objects or arrays), with white space around the tokens.
// Empty when the text is anything else, or is cut short.
[[nodiscard]] std::optional<JsonFlatObject> parseFlatJsonObject(std::string_view text);

}  // namespace qs
