#include "util/url_password.hpp"

#include <algorithm>

namespace qs {

std::optional<PasswordPlace> findUrlPassword(std::string_view url) {
    // Read by hand rather than through the URL parser: a URL the parser
    // refuses (the report of "check" shows those) must be masked too.
    const std::size_t start = url.find("//");
    if (start == std::string_view::npos) return std::nullopt;
    const std::size_t authority = start + 2;
    const std::size_t authority_end = std::min(url.find_first_of("/?#", authority), url.size());
    const std::size_t at = url.substr(0, authority_end).rfind('@');
    if (at == std::string_view::npos || at < authority) return std::nullopt;
    const std::size_t colon = url.substr(0, at).find(':', authority);
    if (colon == std::string_view::npos) return std::nullopt;
    return PasswordPlace{colon + 1, at};
}

std::string redactPassword(std::string_view url) {
    const std::optional<PasswordPlace> place = findUrlPassword(url);
    if (!place) return std::string(url);
    std::string shown(url.substr(0, place->begin));
    shown += "***";
    shown += url.substr(place->end);
    return shown;
}

}  // namespace qs
