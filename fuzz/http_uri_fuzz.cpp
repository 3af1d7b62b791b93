// libFuzzer target for URL handling: parseUri and parseSchemelessUri, the
// pieces derived from a parsed URL (connect host, request target, host
// authority, Basic credentials), and resolveReference as a redirect uses it.
//
// Input: the first byte sets the size of the scratch area the resolution
// may write a merged path to (so running out of it is reached too); the
// rest is a base URL, a line feed, and a reference (the redirect's
// location). Without a line feed the whole rest is both.
//
// Besides the sanitizers' own checks, the target aborts when a result views
// bytes outside the texts it was given: every view of a resolved Uri must
// lie in the base text, the reference or the scratch area, which is what
// lets the redirect code keep them in one fixed buffer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "http/uri.hpp"

namespace {

using namespace qs;

bool within(std::string_view piece, const char* begin, std::size_t length) {
    if (piece.empty()) return true;
    const auto* first = reinterpret_cast<const unsigned char*>(piece.data());
    const auto* low = reinterpret_cast<const unsigned char*>(begin);
    return first >= low && first + piece.size() <= low + length;
}

struct Area {
    const char* begin;
    std::size_t length;
};

bool withinAny(std::string_view piece, std::span<const Area> areas) {
    for (const Area& area : areas) {
        if (within(piece, area.begin, area.length)) return true;
    }
    return false;
}

void checkViews(const Uri& uri, std::span<const Area> areas) {
    const auto check = [&](std::string_view piece) {
        if (!withinAny(piece, areas)) std::abort();
    };
    const auto checkOptional = [&](const std::optional<std::string_view>& piece) {
        if (piece) check(*piece);
    };
    check(uri.scheme);
    checkOptional(uri.user);
    checkOptional(uri.password);
    checkOptional(uri.host);
    check(uri.path);
    checkOptional(uri.query);
    checkOptional(uri.fragment);
}

// Everything the client derives from a parsed URL before it connects and
// writes the request head.
void derive(const Uri& uri) {
    HostBuffer buffer{};
    const auto host = connectHost(uri, buffer);
    if (host && host->size() > kMaxHostLength) std::abort();
    if (const auto protocol = protocolOf(uri)) (void)connectPort(uri, *protocol);

    std::size_t total = 0;
    const TextPieces target = requestTarget(uri);
    for (std::size_t i = 0; i < target.count(); ++i) total += target[i].size();
    if (total != target.length() || total == 0) std::abort();  // at least "/"

    const TextPieces authority = hostAuthority(uri);
    total = 0;
    for (std::size_t i = 0; i < authority.count(); ++i) total += authority[i].size();
    if (total != authority.length()) std::abort();

    if (uri.user || uri.password) {
        const BasicCredentials credentials = basicCredentials(uri);
        if (credentials.text().size() > kMaxBasicCredentialsLength) std::abort();
        if (credentials.text().substr(0, 6) != "Basic ") std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t scratch_size = static_cast<std::size_t>(data[0]) * 4;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t split = rest.find('\n');
    const std::string_view base_text = split == std::string_view::npos ? rest : rest.substr(0, split);
    const std::string_view reference_text =
        split == std::string_view::npos ? rest : rest.substr(split + 1);

    // Exact-size heap copies, so a read one byte past a text is caught.
    const std::vector<char> base_copy(base_text.begin(), base_text.end());
    const std::string_view base_view(base_copy.data(), base_copy.size());
    const auto base = parseUri(base_view);
    if (auto relative = parseSchemelessUri(base_view)) {
        const Area area[] = {{base_copy.data(), base_copy.size()}};
        checkViews(*relative, area);
        derive(*relative);
    }
    if (!base) return 0;
    {
        const Area area[] = {{base_copy.data(), base_copy.size()}};
        checkViews(*base, area);
    }
    derive(*base);

    std::vector<char> reference(reference_text.begin(), reference_text.end());
    std::vector<char> scratch_storage(scratch_size);
    std::span<char> scratch(scratch_storage);
    const auto resolved = resolveReference(*base, reference, scratch);
    // The scratch area only ever shrinks from the front.
    if (scratch.data() + scratch.size() != scratch_storage.data() + scratch_storage.size()) std::abort();
    if (!resolved) return 0;
    const Area areas[] = {{base_copy.data(), base_copy.size()},
                          {reference.data(), reference.size()},
                          {scratch_storage.data(), scratch_storage.size()}};
    checkViews(*resolved, areas);
    derive(*resolved);

    // Dot-segment removal only ever shortens a path.
    std::vector<char> path(reference_text.begin(), reference_text.end());
    if (removeDotSegments(path) > path.size()) std::abort();
    return 0;
}
