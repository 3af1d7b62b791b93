#include "util/terminal_text.hpp"

namespace qs {

std::string maskControlBytes(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = '?';
    }
    return shown;
}

}  // namespace qs
