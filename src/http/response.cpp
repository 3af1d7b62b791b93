#include "http/response.hpp"

#include <tuple>

#include "util/text.hpp"

namespace qs {

namespace {

constexpr std::string_view kCrLf = "\r\n";

struct Line {
    std::string_view name;
    std::string_view value;
};

Line splitHeaderLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {line, {}};
    return {line.substr(0, colon), trimBlanks(line.substr(colon + 1))};
}

// One or more decimal digits with a value below 2^64.
std::optional<std::uint64_t> parseContentLength(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// transfer-encoding lists codings in the order they were applied, so the
// framing (chunked, or the explicit none) can only be the last element and
// at most one content coding may stand before it.
Result<void> applyTransferEncoding(std::string_view value, Response& response) {
    std::string_view rest = value;
    const auto takeLast = [&rest]() {
        const std::size_t comma = rest.rfind(',');
        std::string_view element;
        if (comma == std::string_view::npos) {
            element = rest;
            rest = {};
            return std::pair{trimBlanks(element), false};
        }
        element = rest.substr(comma + 1);
        rest = rest.substr(0, comma);
        return std::pair{trimBlanks(element), true};
    };

    auto [element, more] = takeLast();
    if (element == "chunked" || element == "none") {
        if (response.transfer_encoding == TransferEncoding::chunked) {
            return std::unexpected(Error::HttpHeadersInvalid);
        }
        response.transfer_encoding =
            element == "chunked" ? TransferEncoding::chunked : TransferEncoding::none;
        if (!more) return {};
        std::tie(element, more) = takeLast();
    }
    if (response.content_encoding != ContentEncoding::identity) {
        return std::unexpected(Error::HttpHeadersInvalid);
    }
    const auto coding = contentEncodingByName(element);
    if (!coding) return std::unexpected(Error::HttpHeadersInvalid);
    response.content_encoding = *coding;
    if (more) return std::unexpected(Error::HttpHeadersInvalid);
    return {};
}

Result<void> applyHeader(const Line& line, Response& response) {
    if (equalsIgnoringCase(line.name, "connection")) {
        response.keep_alive = !equalsIgnoringCase(line.value, "close");
    } else if (equalsIgnoringCase(line.name, "content-type")) {
        response.content_type = std::string(line.value);
    } else if (equalsIgnoringCase(line.name, "location")) {
        response.location = std::string(line.value);
    } else if (equalsIgnoringCase(line.name, "content-disposition")) {
        response.content_disposition = std::string(line.value);
    } else if (equalsIgnoringCase(line.name, "transfer-encoding")) {
        return applyTransferEncoding(line.value, response);
    } else if (equalsIgnoringCase(line.name, "content-length")) {
        const auto length = parseContentLength(line.value);
        if (!length) return std::unexpected(Error::HttpHeadersInvalid);
        // Two different lengths mean two readings of where the body ends;
        // trusting either could splice the next response into this one.
        if (response.content_length && *response.content_length != *length) {
            return std::unexpected(Error::HttpHeadersInvalid);
        }
        response.content_length = length;
    } else if (equalsIgnoringCase(line.name, "content-encoding")) {
        if (response.content_encoding != ContentEncoding::identity) {
            return std::unexpected(Error::HttpHeadersInvalid);
        }
        const auto coding = contentEncodingByName(trimBlanks(line.value));
        if (!coding) return std::unexpected(Error::HttpHeadersInvalid);
        response.content_encoding = *coding;
    }
    return {};
}

}  // namespace

StatusClass statusClass(unsigned status) {
    if (status >= 100 && status <= 199) return StatusClass::informational;
    if (status >= 200 && status <= 299) return StatusClass::success;
    if (status >= 300 && status <= 399) return StatusClass::redirect;
    if (status >= 400 && status <= 499) return StatusClass::client_error;
    return StatusClass::server_error;
}

std::optional<ContentEncoding> contentEncodingByName(std::string_view name) {
    if (name == "zstd") return ContentEncoding::zstd;
    if (name == "gzip" || name == "x-gzip") return ContentEncoding::gzip;
    if (name == "deflate") return ContentEncoding::deflate;
    if (name == "compress" || name == "x-compress") return ContentEncoding::compress;
    if (name == "identity") return ContentEncoding::identity;
    return std::nullopt;
}

std::optional<std::size_t> HeadScanner::feed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const std::uint32_t previous = tail_;
        tail_ = (tail_ << 8) | byte;
        ++scanned_;
        if (byte != '\n') continue;
        const bool lf_lf = (previous & 0xFFu) == '\n';
        // CR LF CR before this LF; bytes before the start read as NUL.
        const bool crlf_crlf = (previous & 0xFFFFFFu) == 0x0D0A0Du;
        if (lf_lf || crlf_crlf) return i + 1;
    }
    return std::nullopt;
}

Result<Response> parseResponseHead(std::string_view head) {
    Response response;
    std::string_view rest = head;
    const std::size_t status_end = rest.find(kCrLf);
    const std::string_view status_line = rest.substr(0, status_end);
    rest = status_end == std::string_view::npos ? std::string_view{} : rest.substr(status_end + 2);

    if (status_line.size() < 12 || status_line[8] != ' ') {
        return std::unexpected(Error::HttpHeadersInvalid);
    }
    const std::string_view version = status_line.substr(0, 8);
    if (version == "HTTP/1.0") response.http_1_0 = true;
    else if (version != "HTTP/1.1") return std::unexpected(Error::HttpHeadersInvalid);

    // The three bytes are weighted as digits without being checked: a code
    // that is not a number lands somewhere in 0..1023 and is classed there.
    int code = 0;
    for (std::size_t i = 9; i < 12; ++i) code = code * 10 + (static_cast<unsigned char>(status_line[i]) - '0');
    response.status = static_cast<unsigned>(((code % 1024) + 1024) % 1024);
    std::string_view reason = status_line.substr(12);
    while (!reason.empty() && reason.front() == ' ') reason.remove_prefix(1);
    response.reason = std::string(reason);
    response.keep_alive = !response.http_1_0;

    bool ended = false;
    while (status_end != std::string_view::npos) {
        const std::size_t line_end = rest.find(kCrLf);
        if (line_end == std::string_view::npos) break;
        const std::string_view line = rest.substr(0, line_end);
        rest = rest.substr(line_end + 2);
        if (line.empty()) {
            ended = true;
            break;
        }
        // Obsolete line folding is refused: joining continuations is a known
        // route to two parties reading one head differently.
        if (line.front() == ' ' || line.front() == '\t') {
            return std::unexpected(Error::HttpHeadersInvalid);
        }
        // A bare CR or LF (or a NUL) inside a field would travel on in the
        // values the agent logs, stores and sends back: an ETag holding one
        // forges log lines and, as If-None-Match, adds request headers.
        if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
            return std::unexpected(Error::HttpHeadersInvalid);
        }
        const Line field = splitHeaderLine(line);
        if (field.name.empty()) return std::unexpected(Error::HttpHeadersInvalid);
        QS_TRY(applyHeader(field, response));
    }
    if (!ended) return std::unexpected(Error::HttpHeadersInvalid);
    response.head = std::string(head);
    return response;
}

HeaderLines::HeaderLines(std::string_view head) {
    const std::size_t first = head.find(kCrLf);
    if (first == std::string_view::npos) {
        done_ = true;
        return;
    }
    rest_ = head.substr(first + 2);
}

std::optional<HeaderLines::Field> HeaderLines::next() {
    if (done_) return std::nullopt;
    const std::size_t end = rest_.find(kCrLf);
    const std::string_view line = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 2);
    if (end == std::string_view::npos) done_ = true;
    if (line.empty()) {
        done_ = true;
        return std::nullopt;
    }
    const Line field = splitHeaderLine(line);
    if (field.name.empty()) {
        done_ = true;
        return std::nullopt;
    }
    return Field{field.name, field.value};
}

}  // namespace qs
