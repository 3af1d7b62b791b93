#include "http/uri.hpp"

#include <algorithm>
#include <cstring>

namespace qs {
namespace {

constexpr bool isSchemeByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '+' || c == '-' || c == '.';
}

constexpr int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A host name, once its escapes are decoded, holds only the bytes of RFC
// 3986's registered names: letters, digits, "-._~" and "!$&'()*+,;=". The
// decoded name goes into the CONNECT line, the resolver and the TLS
// handshake, so a CR, LF, NUL or blank smuggled in as "%0D" would start a
// header line of the server's choosing. "%" stays allowed, since an escape
// that is not one is kept as written; an IPv6 literal adds ":".
constexpr bool isHostByte(unsigned char c, bool literal) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    if (literal && c == ':') return true;
    return std::string_view("-._~!$&'()*+,;=%").find(static_cast<char>(c)) != std::string_view::npos;
}

// Checks the host as connectHost will decode it, without needing its buffer.
bool isAllowedHost(std::string_view host) {
    const bool literal = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (literal) host = host.substr(1, host.size() - 2);
    for (std::size_t i = 0; i < host.size(); ++i) {
        auto c = static_cast<unsigned char>(host[i]);
        if (c == '%' && i + 2 < host.size() && hexValue(host[i + 1]) >= 0 &&
            hexValue(host[i + 2]) >= 0) {
            c = static_cast<unsigned char>(hexValue(host[i + 1]) * 16 + hexValue(host[i + 2]));
            i += 2;
        }
        if (!isHostByte(c, literal)) return false;
    }
    return true;
}

// Decimal digits only: no sign, no underscores, no blanks, at most 65535.
Result<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty()) return std::unexpected(Error::InvalidPort);
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::unexpected(Error::InvalidPort);
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) return std::unexpected(Error::InvalidPort);
    }
    return static_cast<std::uint16_t>(value);
}

// Everything after "scheme:": authority, path, query and fragment.
Result<void> parseRest(std::string_view rest, Uri& uri) {
    std::size_t path_start = 0;
    if (rest.starts_with("//")) {
        const std::string_view after = rest.substr(2);
        const std::size_t authority_length = std::min(after.find_first_of("/?#"), after.size());
        const std::string_view authority = after.substr(0, authority_length);
        path_start = 2 + authority_length;
        if (authority.empty()) {
            // "http:///x" names no host but a path; "http://" and "http://?q" name nothing.
            if (!after.starts_with('/')) return std::unexpected(Error::InvalidFormat);
        } else {
            std::string_view host_part = authority;
            const std::size_t at = authority.find('@');
            if (at != std::string_view::npos) {
                const std::string_view userinfo = authority.substr(0, at);
                const std::size_t colon = userinfo.find(':');
                if (colon == std::string_view::npos) {
                    uri.user = userinfo;
                } else {
                    uri.user = userinfo.substr(0, colon);
                    if (colon + 1 < userinfo.size()) uri.password = userinfo.substr(colon + 1);
                }
                host_part = authority.substr(at + 1);
            }
            if (!host_part.empty()) {
                if (host_part.front() == ']') return std::unexpected(Error::InvalidFormat);
                std::string_view host = host_part;
                std::optional<std::string_view> port_text;
                if (host_part.front() == '[') {
                    const std::size_t close = host_part.rfind(']');
                    if (close == std::string_view::npos) {
                        return std::unexpected(Error::InvalidFormat);
                    }
                    host = host_part.substr(0, close + 1);
                    const std::size_t colon = host_part.rfind(':');
                    if (colon != std::string_view::npos && colon > close) {
                        port_text = host_part.substr(colon + 1);
                    }
                } else {
                    const std::size_t colon = host_part.rfind(':');
                    if (colon != std::string_view::npos) {
                        host = host_part.substr(0, colon);
                        port_text = host_part.substr(colon + 1);
                    }
                }
                if (port_text) {
                    QS_TRY_ASSIGN(uri.port, parsePort(*port_text));
                }
                if (host.empty()) return std::unexpected(Error::InvalidFormat);
                if (!isAllowedHost(host)) return std::unexpected(Error::UriHostInvalid);
                uri.host = host;
            }
        }
    }
    std::string_view tail = rest.substr(path_start);
    const std::size_t path_end = std::min(tail.find_first_of("?#"), tail.size());
    uri.path = tail.substr(0, path_end);
    tail.remove_prefix(path_end);
    if (tail.starts_with('?')) {
        const std::size_t query_end = std::min(tail.find('#'), tail.size());
        uri.query = tail.substr(1, query_end - 1);
        tail.remove_prefix(query_end);
    }
    if (tail.starts_with('#')) uri.fragment = tail.substr(1);
    return {};
}

// Length of the scheme before its ":".
Result<std::size_t> schemeLength(std::string_view text) {
    std::size_t run = 0;
    while (run < text.size() && isSchemeByte(text[run])) ++run;
    if (run == text.size()) return std::unexpected(Error::InvalidFormat);
    if (text[run] != ':') return std::unexpected(Error::UnexpectedCharacter);
    return run;
}

// Percent-decodes `text` into `out` from `at` on, stopping where `out` is
// full; returns the new end, or nullopt when the text did not fit.
std::optional<std::size_t> percentDecode(std::string_view text, std::span<char> out,
                                         std::size_t at) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            c = static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        }
        if (at == out.size()) return std::nullopt;
        out[at++] = c;
    }
    return at;
}

// Dot-segment removal applied to the path of `uri`, which lies in `buffer`.
void removeDotSegmentsOfPath(Uri& uri, std::span<char> buffer) {
    if (uri.path.empty()) return;
    const auto offset = static_cast<std::size_t>(uri.path.data() - buffer.data());
    const std::size_t length = removeDotSegments(buffer.subspan(offset, uri.path.size()));
    uri.path = std::string_view(buffer.data() + offset, length);
}

}  // namespace

Result<Uri> parseUri(std::string_view text) {
    const Result<std::size_t> scheme_length = schemeLength(text);
    if (!scheme_length) return std::unexpected(scheme_length.error());
    Uri uri;
    uri.scheme = text.substr(0, *scheme_length);
    QS_TRY(parseRest(text.substr(*scheme_length + 1), uri));
    return uri;
}

Result<Uri> parseSchemelessUri(std::string_view text) {
    Uri uri;
    QS_TRY(parseRest(text, uri));
    return uri;
}

std::optional<Protocol> protocolOf(const Uri& uri) {
    if (uri.scheme == "http" || uri.scheme == "ws") return Protocol::plain;
    if (uri.scheme == "https" || uri.scheme == "wss") return Protocol::tls;
    return std::nullopt;
}

std::uint16_t defaultPort(Protocol protocol) {
    switch (protocol) {
        case Protocol::plain: return 80;
        case Protocol::tls: return 443;
    }
    return 80;
}

std::uint16_t connectPort(const Uri& uri, Protocol protocol) {
    return uri.port ? *uri.port : defaultPort(protocol);
}

Result<std::string_view> connectHost(const Uri& uri, HostBuffer& buffer) {
    if (!uri.host) return std::unexpected(Error::UriMissingHost);
    std::string_view host = *uri.host;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.find('%') == std::string_view::npos) {
        if (host.size() > kMaxHostLength) return std::unexpected(Error::UriHostTooLong);
        return host;
    }
    const std::optional<std::size_t> length = percentDecode(host, buffer, 0);
    if (!length) return std::unexpected(Error::UriHostTooLong);
    return std::string_view(buffer.data(), *length);
}

void TextPieces::append(std::string_view borrowed) {
    if (count_ < kMaxPieces) pieces_[count_++] = borrowed;
}

void TextPieces::appendDecimal(std::uint16_t value) {
    if (count_ == kMaxPieces) return;
    std::array<char, 5> reversed{};
    std::size_t n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + value % 10);
        value = static_cast<std::uint16_t>(value / 10);
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i) digits_[i] = reversed[n - 1 - i];
    digits_length_ = n;
    digits_piece_ = count_++;
}

std::string_view TextPieces::operator[](std::size_t index) const {
    if (index == digits_piece_) return {digits_.data(), digits_length_};
    return pieces_[index];
}

std::size_t TextPieces::length() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count_; ++i) total += (*this)[i].size();
    return total;
}

TextPieces requestTarget(const Uri& uri) {
    TextPieces target;
    target.append(uri.path.empty() ? std::string_view("/") : uri.path);
    if (uri.query) {
        target.append("?");
        target.append(*uri.query);
    }
    return target;
}

TextPieces hostAuthority(const Uri& uri) {
    TextPieces authority;
    if (uri.host) authority.append(*uri.host);
    if (uri.port) {
        authority.append(":");
        authority.appendDecimal(*uri.port);
    }
    return authority;
}

BasicCredentials basicCredentials(const Uri& uri) {
    // Joined text first, then encoded into the result. User and password go
    // in as written: servers that were given "%40" in a URL see those three
    // characters, as they always have.
    std::array<char, kMaxCredentialsLength> joined{};
    std::size_t length = 0;
    const auto put = [&](std::string_view part) {
        const std::size_t take = std::min(part.size(), joined.size() - length);
        std::memcpy(joined.data() + length, part.data(), take);
        length += take;
    };
    put(uri.user.value_or(""));
    put(":");
    put(uri.password.value_or(""));

    BasicCredentials result;
    std::size_t out = 0;
    for (const char c : std::string_view("Basic ")) result.bytes_[out++] = c;
    out += encodeBase64(std::string_view(joined.data(), length), std::span(result.bytes_).subspan(out));
    result.length_ = out;
    return result;
}

std::string composeUrl(const Uri& uri) {
    std::string url;
    url.append(uri.scheme).append("://");
    if (uri.user || uri.password) {
        url.append(uri.user.value_or(""));
        if (uri.password) url.append(":").append(*uri.password);
        url.append("@");
    }
    url.append(uri.host.value_or(""));
    if (uri.port) url.append(":").append(std::to_string(*uri.port));
    url.append(uri.path.empty() ? "/" : uri.path);
    if (uri.query) url.append("?").append(*uri.query);
    return url;
}

std::size_t removeDotSegments(std::span<char> path) {
    char* const buffer = path.data();
    const std::size_t end = path.size();
    std::size_t in = 0;   // start of the unread input
    std::size_t out = 0;  // end of the output, never past `in`
    const auto input = [&] { return std::string_view(buffer + in, end - in); };
    const auto dropLastOutputSegment = [&] {
        while (out > 0 && buffer[out - 1] != '/') --out;
        if (out > 0) --out;
    };
    while (in < end) {
        const std::string_view rest = input();
        if (rest.starts_with("../")) {
            in += 3;
        } else if (rest.starts_with("./")) {
            in += 2;
        } else if (rest.starts_with("/./")) {
            in += 2;
        } else if (rest == "/.") {
            // The input becomes "/": reuse the byte of the dot for it.
            in += 1;
            buffer[in] = '/';
        } else if (rest.starts_with("/../")) {
            in += 3;
            dropLastOutputSegment();
        } else if (rest == "/..") {
            in += 2;
            buffer[in] = '/';
            dropLastOutputSegment();
        } else if (rest == "." || rest == "..") {
            in = end;
        } else {
            // Move the first segment, with its leading "/" if any, to the output.
            std::size_t segment_end = in + (rest.front() == '/' ? 1 : 0);
            while (segment_end < end && buffer[segment_end] != '/') ++segment_end;
            const std::size_t length = segment_end - in;
            if (out != in) std::memmove(buffer + out, buffer + in, length);
            out += length;
            in = segment_end;
        }
    }
    return out;
}

Result<Uri> resolveReference(const Uri& base, std::span<char> reference,
                             std::span<char>& scratch) {
    const std::string_view text(reference.data(), reference.size());
    Result<Uri> parsed = parseUri(text);
    // Only a text without a scheme is a relative reference. One that names a
    // scheme and is malformed after it ("http://h:99999/") must not pass as a
    // relative path and send the client somewhere nobody pointed to.
    if (!parsed && !schemeLength(text)) {
        Result<Uri> schemeless = parseSchemelessUri(text);
        if (!schemeless) return std::unexpected(parsed.error());
        parsed = schemeless;
    }
    if (!parsed) return std::unexpected(parsed.error());
    Uri result = *parsed;
    if (!result.scheme.empty()) {
        removeDotSegmentsOfPath(result, reference);
        return result;
    }
    result.scheme = base.scheme;
    if (result.host) {
        removeDotSegmentsOfPath(result, reference);
        return result;
    }
    result.user = base.user;
    result.password = base.password;
    result.host = base.host;
    result.port = base.port;
    if (result.path.empty()) {
        result.path = base.path;
        if (!result.query) result.query = base.query;
        return result;
    }
    if (result.path.starts_with('/')) {
        removeDotSegmentsOfPath(result, reference);
        return result;
    }
    const std::size_t last_slash = base.path.rfind('/');
    if (!base.path.empty() && last_slash == std::string_view::npos) {
        // A base path without any "/" has nothing to keep.
        removeDotSegmentsOfPath(result, reference);
        return result;
    }
    const std::size_t kept = last_slash == std::string_view::npos ? 0 : last_slash;
    const std::size_t merged_length = kept + 1 + result.path.size();
    if (merged_length > scratch.size()) return std::unexpected(Error::NoSpaceLeft);
    if (kept > 0) std::memcpy(scratch.data(), base.path.data(), kept);
    scratch[kept] = '/';
    std::memcpy(scratch.data() + kept + 1, result.path.data(), result.path.size());
    const std::size_t length = removeDotSegments(scratch.first(merged_length));
    result.path = std::string_view(scratch.data(), length);
    scratch = scratch.subspan(length);
    return result;
}

}  // namespace qs
