#pragma once
// One HTTP exchange: opening it (scheme check, trust store, connection),
// writing its head, and ending it, which decides whether its connection can
// carry another request. Receiving the response is receive_head.
//
// A whole exchange, in the order the calls must come:
//
//   auto client = std::make_unique<HttpClient>();
//   const std::string url = ...;                        // outlives the request
//   std::array<char, kRedirectBufferSize> redirects{};  // likewise
//   QS_TRY_ASSIGN(const Uri uri, parseUri(url));
//   QS_TRY_ASSIGN(Request request, openRequest(*client, Method::get, uri, options));
//   sendHead(request);
//   auto response = receiveHead(request, redirects);
//   DecodingBodyReader body = decodingBodyReader(request, *response, workspace);
//   ... read `body` to its end (0) ...
//   closeRequest(request);          // also after any failure once opened
//   destroyClient(std::move(client));

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/body_reader.hpp"
#include "http/client.hpp"
#include "http/proxy.hpp"
#include "http/response.hpp"
#include "http/uri.hpp"

namespace qs {

// The client's own product token. It names the HTTP component, not the
// agent, which identifies itself in an extra header of its own.
inline constexpr std::string_view kClientUserAgent = "qs-http/1.0";

enum class Method : std::uint8_t { get, head, post, put, delete_, connect, options, trace, patch };
[[nodiscard]] std::string_view methodName(Method method);

enum class HttpVersion : std::uint8_t { http_1_0, http_1_1 };

// What a standard header line carries: the client's own line (or nothing
// where it has none), no line at all, or the given text instead.
class HeaderValue {
public:
    enum class Kind : std::uint8_t { standard, omit, override_text };

    constexpr HeaderValue() = default;
    [[nodiscard]] static constexpr HeaderValue byDefault() { return {}; }
    [[nodiscard]] static constexpr HeaderValue omit() { return HeaderValue(Kind::omit, {}); }
    // The text must outlive the request.
    [[nodiscard]] static constexpr HeaderValue overrideWith(std::string_view text) {
        return HeaderValue(Kind::override_text, text);
    }

    [[nodiscard]] constexpr Kind kind() const { return kind_; }
    [[nodiscard]] constexpr std::string_view text() const { return text_; }

private:
    constexpr HeaderValue(Kind kind, std::string_view text) : kind_(kind), text_(text) {}
    Kind kind_ = Kind::standard;
    std::string_view text_;
};

struct StandardHeaders {
    HeaderValue host;
    HeaderValue authorization;
    HeaderValue user_agent;
    HeaderValue connection;
    HeaderValue accept_encoding;
    HeaderValue content_type;
};

struct ExtraHeader {
    std::string_view name;
    std::string_view value;
};

// Redirects that may still be followed; this value means "never follow":
// redirect responses are then returned like any other.
inline constexpr std::uint16_t kRedirectsNotFollowed = 65535;

struct RequestOptions {
    HttpVersion version = HttpVersion::http_1_1;
    bool handle_continue = true;  // skip interim 100 responses
    bool keep_alive = true;
    std::uint16_t redirect_budget = 3;
    // A connection of the same client to use instead of connecting.
    Connection* connection = nullptr;
    StandardHeaders headers;
    // Sent after the standard lines, byte for byte, in this order; copied.
    std::span<const ExtraHeader> extra_headers;
    // Forward proxies to use; must outlive the request. None: direct.
    const ProxyRoutes* proxy = nullptr;
};

enum class RequestBody : std::uint8_t { none, content_length, chunked };

struct Request {
    HttpClient* client = nullptr;
    Uri uri;
    Connection* connection = nullptr;
    Method method = Method::get;
    HttpVersion version = HttpVersion::http_1_1;
    bool keep_alive = true;
    bool handle_continue = true;
    std::uint16_t redirect_budget = 3;
    RequestBody body = RequestBody::none;
    std::uint64_t body_length = 0;  // for RequestBody::content_length
    StandardHeaders headers;
    std::vector<std::pair<std::string, std::string>> extra_headers;
    // The origin (protocol, connect host, port) of the URL the request was
    // opened with. Credentials the caller put in an extra "Authorization"
    // header are meant for that origin alone and are not sent on after a
    // redirect to any other: another port may be another service, and plain
    // text would show them to the network.
    std::string origin_host;
    // The routes for this request and its redirects, and the proxy the
    // current connection forwards through: set while requests go to that
    // proxy in absolute form (plain http through a proxy), null when the
    // connection reaches the origin, directly or through a CONNECT tunnel.
    const ProxyRoutes* proxy = nullptr;
    const ProxyServer* forwarding = nullptr;
    std::uint16_t origin_port = 0;
    Protocol origin_protocol = Protocol::plain;

    // Response side: the status of the last head received, where its body
    // stands (kept up to date by the body readers), and how much of the
    // caller's redirect buffer followed redirects have used.
    unsigned status = 0;
    BodyState body_state;
    std::size_t redirect_buffer_used = 0;
};

// Opens a request for `uri` (whose text must outlive it): checks the scheme,
// loads the trust store for https if it still needs loading, and connects
// (or takes options.connection). Errors: UnsupportedUriScheme,
// CertificateBundleLoadFailure, UriMissingHost, UriHostTooLong, the
// connection errors of HttpClient::connect, OutOfMemory.
[[nodiscard]] Result<Request> openRequest(HttpClient& client, Method method, const Uri& uri,
                                          const RequestOptions& options);

// Gives the request a connection for `uri` (whose connect host is `host`):
// direct, to the proxy that forwards its plain requests, or through a
// proxy's CONNECT tunnel, as the request's routes say. Errors: those of
// HttpClient::connect.
[[nodiscard]] Result<void> connectRequest(Request& request, const Uri& uri, Protocol protocol,
                                          std::string_view host);

// Writes the request head (the request has no body) and pushes it onto the
// connection. WriteFailed.
[[nodiscard]] Result<void> sendHead(Request& request);

// Ends the exchange: a connection whose response was read to its end, had
// no body by rule, or whose rest of body can be skipped to a framed end goes
// back to the pool; any other is closed.
void closeRequest(Request& request);

// Gives up on the response body unread: closeRequest then closes the
// connection instead of reading the rest of the body to keep it, which a
// body refused for its size must not cost.
void abandonResponseBody(Request& request);

}  // namespace qs
