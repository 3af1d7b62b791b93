#pragma once

#include <string_view>

namespace qs {

// The white space that configuration lines and ETag records shed at both
// ends: space, tab, line feed, carriage return, vertical tab, form feed.
constexpr bool isTrimmedSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr std::string_view trimSpace(std::string_view text) {
    while (!text.empty() && isTrimmedSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isTrimmedSpace(text.back())) text.remove_suffix(1);
    return text;
}

// Header values shed blanks and horizontal tabs only; other control bytes are
// part of the value.
constexpr std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// ASCII letters compared without regard to case; other bytes must be equal.
constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace qs
