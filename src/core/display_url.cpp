#include "core/display_url.hpp"

#include "http/uri.hpp"

namespace qs {

std::string redactPassword(std::string_view url) {
    const auto uri = parseUri(url);
    if (!uri || !uri->password || uri->password->empty()) return std::string(url);
    // The password is a view into `url`, so its offset locates the bytes.
    const std::size_t at = static_cast<std::size_t>(uri->password->data() - url.data());
    std::string shown(url.substr(0, at));
    shown += "***";
    shown += url.substr(at + uri->password->size());
    return shown;
}

}  // namespace qs
