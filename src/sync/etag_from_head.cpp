#include "sync/fetch_bundle.hpp"

#include <new>

#include "util/text.hpp"

namespace qs {

std::string headerFromHead(std::string_view raw_head, std::string_view wanted) {
    const auto trimBlanks = [](std::string_view text) {
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
        return text;
    };
    bool status_line = true;
    while (!raw_head.empty()) {
        const std::size_t end = raw_head.find("\r\n");
        const std::string_view line = raw_head.substr(0, end);
        raw_head = end == std::string_view::npos ? std::string_view{} : raw_head.substr(end + 2);
        if (status_line) {
            status_line = false;
            continue;
        }
        if (line.empty()) break;
        const std::size_t colon = line.find(':');
        const std::string_view name = line.substr(0, colon);
        if (!equalsIgnoringCase(name, wanted)) continue;
        const std::string_view value =
            colon == std::string_view::npos ? std::string_view{} : trimBlanks(line.substr(colon + 1));
        try {
            return std::string(value);
        } catch (const std::bad_alloc&) {
            // Without memory for the copy the fetch goes on without it.
            return {};
        }
    }
    return {};
}

std::string etagFromHead(std::string_view raw_head) { return headerFromHead(raw_head, "etag"); }

}  // namespace qs
