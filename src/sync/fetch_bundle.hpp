#pragma once
// The fetch half of a sync cycle: one conditional GET with a fresh client,
// the whole body read into memory.

#include <optional>
#include <string>
#include <string_view>

#include "platform/page_buffer.hpp"

namespace qs {

struct FetchResult {
    enum class Kind { not_modified, fetched, failed };
    Kind kind = Kind::failed;
    // fetched: the ETag exactly as the final response gave it (quotes and
    // W/ kept), possibly empty, and the whole decoded body.
    std::string etag;
    platform::PageBuffer body;
    // failed: one of the fixed reasons; the cause was logged already.
    std::string_view reason;
};

// The value of the first header line of the head named "etag" (ASCII letters
// in any case, nothing around the name), with spaces and tabs trimmed from
// the value; empty when there is none. `raw_head` is the status line and the
// header lines, each ended by CR LF, up to the empty line.
[[nodiscard]] std::string etagFromHead(std::string_view raw_head);

// `authorization` absent or empty sends no extra Authorization header.
[[nodiscard]] FetchResult fetchBundle(std::string_view url, std::string_view cached_etag,
                                      const std::optional<std::string>& authorization,
                                      bool tls_verify);

}  // namespace qs
