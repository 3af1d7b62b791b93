#pragma once
// The response head: finding its end in the arriving bytes, parsing it into
// a Response, and walking its header lines.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

enum class TransferEncoding { none, chunked };
enum class ContentEncoding { identity, zstd, gzip, deflate, compress };

// One parsed response head. It owns a copy of the head bytes, so it stays
// valid however the connection's buffer is reused for the body.
struct Response {
    std::string head;  // status line, header lines, terminating empty line
    bool http_1_0 = false;  // "HTTP/1.0" in the status line, else "HTTP/1.1"
    unsigned status = 0;    // below 1024
    std::string reason;
    bool keep_alive = true;
    std::optional<std::string> location;
    std::optional<std::string> content_type;
    std::optional<std::string> content_disposition;
    std::optional<std::uint64_t> content_length;
    TransferEncoding transfer_encoding = TransferEncoding::none;
    ContentEncoding content_encoding = ContentEncoding::identity;
};

enum class StatusClass { informational, success, redirect, client_error, server_error };
[[nodiscard]] StatusClass statusClass(unsigned status);

// Finds the end of a head in a byte stream: the first CR LF CR LF or LF LF,
// wherever the reads split it. The caller feeds the bytes in order.
class HeadScanner {
public:
    // Where the bytes begin: at the start of a head, or just after a line end
    // (a chunked body's trailer section, which the last chunk's line opens),
    // where an empty line at once ends the section.
    enum class Start { head, after_line_end };
    explicit HeadScanner(Start start = Start::head)
        : tail_(start == Start::after_line_end ? kLineEnd : 0) {}

    // Scans `bytes`, which continue what was fed before; returns how many of
    // them belong to the head when its end lies among them.
    [[nodiscard]] std::optional<std::size_t> feed(std::string_view bytes);
    // Bytes fed so far without finding the end.
    [[nodiscard]] std::size_t scanned() const { return scanned_; }

private:
    static constexpr std::uint32_t kLineEnd = 0x0D0A;  // CR LF, newest lowest

    std::size_t scanned_ = 0;
    // The last bytes seen, newest in the lowest byte, enough to recognise
    // CR LF CR LF across a split.
    std::uint32_t tail_;
};

// Parses a complete head (as delimited by HeadScanner). Every defect is
// HttpHeadersInvalid: a bad status line, a continuation line, an empty
// header name, an unknown transfer or content coding, a malformed or
// conflicting content-length, a head without an empty line.
[[nodiscard]] Result<Response> parseResponseHead(std::string_view head);

// Content codings by name, exactly as written ("x-gzip" is gzip).
[[nodiscard]] std::optional<ContentEncoding> contentEncodingByName(std::string_view name);

// The header lines of a head, in order: the name is the text before the
// first ":" as received (the whole line when it has none), the value the text
// after it without blanks and tabs at either end. The status line is
// skipped; iteration ends at the empty line or at a line with an empty name.
class HeaderLines {
public:
    struct Field {
        std::string_view name;
        std::string_view value;
    };
    explicit HeaderLines(std::string_view head);
    [[nodiscard]] std::optional<Field> next();

private:
    std::string_view rest_;
    bool done_ = false;
};

[[nodiscard]] inline HeaderLines headerLines(std::string_view head) { return HeaderLines(head); }

}  // namespace qs
