#include "sync/version.hpp"

#include <new>

#include "platform/process_state.hpp"

namespace qs {

namespace {

std::string_view withoutQuotes(std::string_view s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

}  // namespace

Result<std::string> deriveVersion(std::string_view etag) {
    try {
        if (etag.empty()) return "t" + std::to_string(platform::wallClockSeconds());

        std::string_view s = withoutQuotes(etag);
        if (s.starts_with("W/")) s = withoutQuotes(s.substr(2));
        if (s.starts_with('v')) s.remove_prefix(1);

        // The ETag is the server's text; a "/" in it would turn the version
        // directory, the link target and the later removal of that version
        // into paths beyond target_dir, and a NUL would cut the name short
        // at the system boundary. Percent-encoding keeps such a payload
        // installable under a plain name.
        std::string name;
        name.reserve(s.size());
        for (const char c : s) {
            if (c == '/') {
                name += "%2F";
            } else if (c == '\0') {
                name += "%00";
            } else {
                name += c;
            }
        }
        return name;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

}  // namespace qs
