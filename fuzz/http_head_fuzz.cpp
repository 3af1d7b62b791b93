// libFuzzer target for the response head: HeadScanner over the bytes as
// they might arrive in pieces, parseResponseHead on what it delimits, and
// headerLines over the head and over the raw input.
//
// Input: the first byte seeds the sizes of the pieces the bytes are fed in;
// the rest is what the server sent.
//
// Checks beyond the sanitizers': the scanner finds the same end however the
// bytes are split, and that end is the first CR LF CR LF or LF LF (computed
// here from the whole text); a parsed head keeps its status below 1024,
// carries a copy of exactly the bytes given, and its header lines come out
// as views into the head, finitely many.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "http/response.hpp"

namespace {

using namespace qs;

// The end of the head by its definition: just past the first LF that
// follows an LF or the bytes CR LF CR.
std::optional<std::size_t> expectedEnd(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n') continue;
        if (i >= 1 && bytes[i - 1] == '\n') return i + 1;
        if (i >= 3 && bytes.substr(i - 3, 3) == "\r\n\r") return i + 1;
    }
    return std::nullopt;
}

std::optional<std::size_t> scanInPieces(std::string_view bytes, std::uint8_t seed) {
    HeadScanner scanner;
    std::size_t offset = 0;
    unsigned state = seed | 1u;
    while (offset < bytes.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(1 + (state >> 16) % 7, bytes.size() - offset);
        if (const auto end = scanner.feed(bytes.substr(offset, piece))) return offset + *end;
        offset += piece;
        if (scanner.scanned() != offset) std::abort();
    }
    // Feeding nothing finds nothing and counts nothing.
    if (scanner.feed({})) std::abort();
    if (scanner.scanned() != bytes.size()) std::abort();
    return std::nullopt;
}

void walkLines(std::string_view head) {
    const auto* low = head.data();
    const auto* high = head.data() + head.size();
    std::size_t count = 0;
    HeaderLines lines = headerLines(head);
    while (const auto field = lines.next()) {
        if (field->name.empty()) std::abort();
        if (field->name.data() < low || field->name.data() + field->name.size() > high) std::abort();
        if (!field->value.empty() &&
            (field->value.data() < low || field->value.data() + field->value.size() > high)) {
            std::abort();
        }
        if (++count > head.size()) std::abort();
    }
    if (lines.next()) std::abort();  // stays ended
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // An exact-size heap copy, so a read one byte past the input is caught.
    const std::vector<char> copy(data + 1, data + size);
    const std::string_view bytes(copy.data(), copy.size());

    const auto whole = [&] {
        HeadScanner scanner;
        return scanner.feed(bytes);
    }();
    if (whole != expectedEnd(bytes)) std::abort();
    if (scanInPieces(bytes, data[0]) != whole) std::abort();

    walkLines(bytes);
    const std::string_view head = bytes.substr(0, whole.value_or(bytes.size()));
    const auto response = parseResponseHead(head);
    if (!response) return 0;
    if (response->status >= 1024) std::abort();
    if (response->head != head) std::abort();
    if (head.substr(0, 8) != (response->http_1_0 ? "HTTP/1.0" : "HTTP/1.1")) std::abort();
    // Only a head with an empty line between CR LFs parses.
    if (head.find("\r\n\r\n") == std::string_view::npos) std::abort();
    (void)statusClass(response->status);
    walkLines(response->head);
    return 0;
}
