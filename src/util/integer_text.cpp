#include "util/integer_text.hpp"

namespace qs {

Result<std::uint64_t> parseUnsigned(std::string_view text, unsigned radix, IntegerWidth width) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '_' || text.back() == '_')
        return std::unexpected(Error::InvalidCharacter);

    const std::uint64_t limit =
        width == IntegerWidth::bits32 ? std::uint64_t{0xFFFFFFFFu} : ~std::uint64_t{0};
    std::uint64_t value = 0;
    bool overflow = false;
    char previous = '\0';
    for (char c : text) {
        if (c == '_') {
            if (previous == '_') return std::unexpected(Error::InvalidCharacter);
            previous = c;
            continue;
        }
        previous = c;
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'z') {
            digit = static_cast<unsigned>(c - 'a') + 10;
        } else if (c >= 'A' && c <= 'Z') {
            digit = static_cast<unsigned>(c - 'A') + 10;
        } else {
            return std::unexpected(Error::InvalidCharacter);
        }
        if (digit >= radix) return std::unexpected(Error::InvalidCharacter);
        // Keep scanning after an overflow so that a bad character later in
        // the text still reports InvalidCharacter.
        if (!overflow) {
            if (value > (limit - digit) / radix) {
                overflow = true;
            } else {
                value = value * radix + digit;
            }
        }
    }
    if (negative && (overflow || value != 0)) return std::unexpected(Error::InvalidCharacter);
    if (overflow) return std::unexpected(Error::Overflow);
    return value;
}

std::string octalText(std::uint64_t value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + value % 8));
        value /= 8;
    } while (value != 0);
    while (digits.size() < 4) digits.insert(digits.begin(), '0');
    return digits;
}

}  // namespace qs
