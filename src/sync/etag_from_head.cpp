#include "sync/fetch_bundle.hpp"

#include <new>

#include "http/response.hpp"
#include "util/text.hpp"

namespace qs {

std::string headerFromHead(std::string_view raw_head, std::string_view wanted) {
    HeaderLines lines = headerLines(raw_head);
    while (const auto field = lines.next()) {
        if (!equalsIgnoringCase(field->name, wanted)) continue;
        try {
            return std::string(field->value);
        } catch (const std::bad_alloc&) {
            // Without memory for the copy the fetch goes on without it.
            return {};
        }
    }
    return {};
}

std::string etagFromHead(std::string_view raw_head) { return headerFromHead(raw_head, "etag"); }

}  // namespace qs
