#include "core/display_url.hpp"

namespace qs {

std::string redactPassword(std::string_view url) {
    // Read by hand rather than through the URL parser, so that a URL the
    // parser refuses (the report of "check" shows those) is redacted too.
    const std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos) return std::string(url);
    const std::size_t authority = scheme_end + 3;
    std::size_t authority_end = url.find_first_of("/?#", authority);
    if (authority_end == std::string_view::npos) authority_end = url.size();
    const std::size_t at_sign = url.substr(authority, authority_end - authority).rfind('@');
    if (at_sign == std::string_view::npos) return std::string(url);
    const std::size_t colon = url.substr(authority, at_sign).find(':');
    if (colon == std::string_view::npos || colon + 1 == at_sign) return std::string(url);
    std::string shown(url.substr(0, authority + colon + 1));
    shown += "***";
    shown += url.substr(authority + at_sign);
    return shown;
}

}  // namespace qs
