#pragma once
// URLs as the client reads them: a lenient parser that keeps every component
// as the bytes written, and the pieces the request writer, the connector and
// redirect handling derive from a parsed URL. Pure text work: no I/O, and no
// allocation beyond the fixed buffers named here except the string
// composeUrl returns.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/base64.hpp"
#include "util/error.hpp"

namespace qs {

// Views into the URL text (or, after a redirect, into the redirect buffer);
// whoever owns that text keeps it alive while the Uri is used. A present
// optional may be empty: in http://@h/ the user is present and empty.
struct Uri {
    std::string_view scheme;                  // before the first ":", possibly empty
    std::optional<std::string_view> user;     // as written
    std::optional<std::string_view> password; // as written; an empty password counts as none
    std::optional<std::string_view> host;     // as written, an IPv6 literal with its brackets
    std::optional<std::uint16_t> port;
    std::string_view path;                    // as written, possibly empty
    std::optional<std::string_view> query;    // after "?" up to "#"
    std::optional<std::string_view> fragment; // after "#"
};

enum class Protocol : std::uint8_t { plain, tls };

// UnexpectedCharacter: a byte other than a letter, digit, "+", "-" or "."
// before the first ":". InvalidFormat: no ":" after the scheme, an empty
// authority not followed by "/", a host starting with "]", "[" without "]",
// an empty host. UriHostInvalid: a host that, with its escapes decoded,
// holds a byte no host name may hold (CR, LF, NUL, a blank, "/", ":" outside
// an IPv6 literal, bytes above 127...). InvalidPort: a port text that is
// empty, not all decimal digits, or above 65535.
[[nodiscard]] Result<Uri> parseUri(std::string_view text);

// The same rules for a text without a scheme (a relative reference): the
// whole text is authority, path, query and fragment; `scheme` stays empty.
// InvalidFormat, UriHostInvalid or InvalidPort.
[[nodiscard]] Result<Uri> parseSchemelessUri(std::string_view text);

// "http" and "ws" are plain, "https" and "wss" TLS, compared case-sensitively;
// any other scheme has no protocol (the caller reports UnsupportedUriScheme).
[[nodiscard]] std::optional<Protocol> protocolOf(const Uri& uri);

// 80 for plain, 443 for TLS.
[[nodiscard]] std::uint16_t defaultPort(Protocol protocol);
// The URL's own port when it names one, else the protocol's default.
[[nodiscard]] std::uint16_t connectPort(const Uri& uri, Protocol protocol);

// A host name is at most 255 bytes (the longest name DNS can carry).
inline constexpr std::size_t kMaxHostLength = 255;
using HostBuffer = std::array<char, kMaxHostLength>;

// The name to resolve, pool and present in the TLS handshake: the host as
// written when it holds no "%", else a copy in `buffer` with every "%XX"
// (two hex digits, either case) decoded; a "%" not followed by two hex
// digits stays as it is. An IPv6 literal loses its brackets, since the
// resolver takes the bare address ("[::1]" connects to "::1").
// UriMissingHost without a host; UriHostTooLong when the name, decoded,
// exceeds 255 bytes.
[[nodiscard]] Result<std::string_view> connectHost(const Uri& uri, HostBuffer& buffer);

// A text handed out as up to three consecutive pieces, so a writer streams
// it without joining. Pieces borrow the Uri's text, except port digits,
// which the object holds itself (so copies stay valid).
class TextPieces {
public:
    static constexpr std::size_t kMaxPieces = 3;

    void append(std::string_view borrowed);
    void appendDecimal(std::uint16_t value);

    [[nodiscard]] std::size_t count() const { return count_; }
    [[nodiscard]] std::string_view operator[](std::size_t index) const;
    // Total number of bytes over all pieces.
    [[nodiscard]] std::size_t length() const;

private:
    std::array<std::string_view, kMaxPieces> pieces_{};
    std::size_t count_ = 0;
    std::array<char, 5> digits_{};  // 65535 at most
    std::size_t digits_length_ = 0;
    std::size_t digits_piece_ = kMaxPieces;
};

// The path as written (or "/" when empty), then "?" and the query when one
// is present; never the fragment, and no dot-segment removal or re-encoding.
[[nodiscard]] TextPieces requestTarget(const Uri& uri);

// The host as written (brackets kept), then ":" and the port in decimal only
// when the URL names a port: https://h:443/ gives h:443, https://h/ gives h.
// Without a host the text is empty.
[[nodiscard]] TextPieces hostAuthority(const Uri& uri);

// The joined "user:password" is capped at 511 bytes, room for a 255-byte
// user, the colon and a 255-byte password; the value is "Basic " plus its
// base64 encoding (684 characters for 511 bytes).
inline constexpr std::size_t kMaxCredentialsLength = 511;
inline constexpr std::size_t kMaxBasicCredentialsLength = 6 + base64EncodedLength(kMaxCredentialsLength);

class BasicCredentials {
public:
    [[nodiscard]] std::string_view text() const { return {bytes_.data(), length_}; }

private:
    friend BasicCredentials basicCredentials(const Uri& uri);
    std::array<char, kMaxBasicCredentialsLength> bytes_{};
    std::size_t length_ = 0;
};

// Meant for a Uri with a user or a password (absent parts count as empty).
// User and password are taken as written in the URL, escapes included, and
// joined with ":"; bytes beyond the 511th are left out.
[[nodiscard]] BasicCredentials basicCredentials(const Uri& uri);

// Resolves `reference` (the redirect's location) against `base` in the
// manner of a browser following a link. `reference` must be writable: dot
// segments are removed from its path in place. A merged path is written to
// the front of `scratch`, which is then advanced past it, so later
// resolutions continue after it. The result views `reference`, `scratch`
// and the base's text.
// A reference that names a scheme must parse as a whole; only one without a
// scheme is parsed as relative. Errors: the error of parseUri when the
// reference parses neither way; NoSpaceLeft when `scratch` cannot hold the
// merged path.
[[nodiscard]] Result<Uri> resolveReference(const Uri& base, std::span<char> reference,
                                           std::span<char>& scratch);

// A parsed or resolved URL written out again as one text: every part as
// written, the port in plain decimal, "/" for an empty path, never the
// fragment. User and password go in when either is present, so
// http://u@h/ and http://@h/ keep their "@". May throw std::bad_alloc.
[[nodiscard]] std::string composeUrl(const Uri& uri);

// Dot-segment removal in place ("/a/./b/../c" becomes "/a/c"); returns the
// new length. Exposed for the redirect code's tests.
[[nodiscard]] std::size_t removeDotSegments(std::span<char> path);

}  // namespace qs
