#include "util/json.hpp"

namespace qs {

namespace json_detail {

std::size_t utf8SequenceLength(std::string_view bytes) {
    if (bytes.empty()) return 0;
    const auto at = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xbf) return 0;
    }
    return length;
}

}  // namespace json_detail

void appendJsonString(std::string& out, std::string_view bytes) {
    out += '"';
    escapeJsonString(bytes, [&out](std::string_view piece) { out += piece; });
    out += '"';
}

namespace {

class FlatReader {
public:
    explicit FlatReader(std::string_view text) : text_(text) {}

    std::optional<JsonFlatObject> object() {
        JsonFlatObject members;
        if (!take('{')) return std::nullopt;
        if (take('}')) return finish(std::move(members));
        for (;;) {
            auto name = string();
            if (!name || !take(':')) return std::nullopt;
            auto value = scalar();
            if (!value) return std::nullopt;
            members.insert_or_assign(std::move(*name), std::move(*value));
            if (take('}')) return finish(std::move(members));
            if (!take(',')) return std::nullopt;
        }
    }

private:
    std::optional<JsonFlatObject> finish(JsonFlatObject members) {
        skipBlanks();
        if (at_ != text_.size()) return std::nullopt;
        return members;
    }

    void skipBlanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    bool take(char c) {
        skipBlanks();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    // nullopt: syntax error; a present optional holding nullopt: null.
    std::optional<std::optional<std::string>> scalar() {
        skipBlanks();
        if (at_ >= text_.size()) return std::nullopt;
        if (text_[at_] == '"') {
            auto s = string();
            if (!s) return std::nullopt;
            return std::optional<std::string>(std::move(*s));
        }
        for (std::string_view word : {"null", "true", "false"}) {
            if (text_.substr(at_).starts_with(word)) {
                at_ += word.size();
                if (word == "null") return std::optional<std::string>();
                return std::optional<std::string>(std::string(word));
            }
        }
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') ++at_;
        while (at_ < text_.size() && ((text_[at_] >= '0' && text_[at_] <= '9') || text_[at_] == '.' ||
                                      text_[at_] == 'e' || text_[at_] == 'E' || text_[at_] == '+' ||
                                      text_[at_] == '-'))
            ++at_;
        if (at_ == start || (at_ == start + 1 && text_[start] == '-')) return std::nullopt;
        return std::optional<std::string>(std::string(text_.substr(start, at_ - start)));
    }

    static int hexValue(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    std::optional<unsigned> hex4() {
        if (text_.size() - at_ < 4) return std::nullopt;
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(text_[at_++]);
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        return value;
    }

    static void appendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xc0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3f));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xe0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (code & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (code & 0x3f));
        }
    }

    std::optional<std::string> string() {
        if (!take('"')) return std::nullopt;
        std::string out;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return std::nullopt;
            const char e = text_[at_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                auto code = hex4();
                if (!code) return std::nullopt;
                if (*code >= 0xd800 && *code <= 0xdbff && text_.substr(at_).starts_with("\\u")) {
                    at_ += 2;
                    auto low = hex4();
                    if (!low || *low < 0xdc00 || *low > 0xdfff) return std::nullopt;
                    *code = 0x10000 + ((*code - 0xd800) << 10) + (*low - 0xdc00);
                }
                appendUtf8(out, *code);
                break;
            }
            default: return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<JsonFlatObject> parseFlatJsonObject(std::string_view text) {
    return FlatReader(text).object();
}

}  // namespace qs
