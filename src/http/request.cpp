#include "http/request.hpp"

#include <array>
#include <charconv>
#include <new>

#include "http/receive_head.hpp"
#include "util/text.hpp"

namespace qs {

namespace {

constexpr std::string_view kCrLf = "\r\n";

class HeadWriter {
public:
    explicit HeadWriter(Connection& connection) : connection_(connection) {}

    void put(std::string_view bytes) {
        if (failed_) return;
        if (!connection_.write(bytes)) failed_ = true;
    }
    void put(const TextPieces& pieces) {
        for (std::size_t i = 0; i < pieces.count(); ++i) put(pieces[i]);
    }
    void putDecimal(std::uint64_t value) {
        std::array<char, 20> digits{};
        const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
        put(std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
    }
    // The standard line `name` with the client's own value, nothing, or the
    // caller's text.
    template <class WriteDefault>
    void standardLine(std::string_view name, const HeaderValue& value, WriteDefault writeDefault) {
        switch (value.kind()) {
        case HeaderValue::Kind::standard: writeDefault(); return;
        case HeaderValue::Kind::omit: return;
        case HeaderValue::Kind::override_text:
            put(name);
            put(": ");
            put(value.text());
            put(kCrLf);
            return;
        }
    }
    [[nodiscard]] Result<void> finish() {
        if (!failed_ && connection_.flush()) return {};
        return std::unexpected(Error::WriteFailed);
    }

private:
    Connection& connection_;
    bool failed_ = false;
};

bool sameHost(std::string_view a, std::string_view b) { return equalsIgnoringCase(a, b); }

}  // namespace

std::string_view methodName(Method method) {
    switch (method) {
    case Method::get: return "GET";
    case Method::head: return "HEAD";
    case Method::post: return "POST";
    case Method::put: return "PUT";
    case Method::delete_: return "DELETE";
    case Method::connect: return "CONNECT";
    case Method::options: return "OPTIONS";
    case Method::trace: return "TRACE";
    case Method::patch: return "PATCH";
    }
    return "GET";
}

Result<Request> openRequest(HttpClient& client, Method method, const Uri& uri,
                            const RequestOptions& options) {
    const auto protocol = protocolOf(uri);
    if (!protocol) return std::unexpected(Error::UnsupportedUriScheme);
    if (*protocol == Protocol::tls) QS_TRY(client.ensureTrustStoreLoaded());

    HostBuffer host_buffer{};
    QS_TRY_ASSIGN(const std::string_view host, connectHost(uri, host_buffer));

    try {
        Request request;
        request.client = &client;
        request.uri = uri;
        request.method = method;
        request.version = options.version;
        request.keep_alive = options.keep_alive;
        request.handle_continue = options.handle_continue;
        request.redirect_budget = options.redirect_budget;
        request.headers = options.headers;
        request.extra_headers.reserve(options.extra_headers.size());
        for (const ExtraHeader& header : options.extra_headers) {
            request.extra_headers.emplace_back(header.name, header.value);
        }
        request.origin_host = std::string(host);
        request.proxy = options.proxy;
        request.origin_port = connectPort(uri, *protocol);
        request.origin_protocol = *protocol;

        if (options.connection != nullptr) {
            request.connection = options.connection;
        } else {
            QS_TRY(connectRequest(request, uri, *protocol, host));
        }
        return request;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

Result<void> connectRequest(Request& request, const Uri& uri, Protocol protocol,
                            std::string_view host) {
    const std::uint16_t port = connectPort(uri, protocol);
    const ProxyServer* proxy = request.proxy ? request.proxy->select(protocol, host) : nullptr;
    request.forwarding = nullptr;
    if (proxy != nullptr && protocol == Protocol::plain) {
        QS_TRY_ASSIGN(request.connection,
                      request.client->connect(proxy->host, proxy->port, Protocol::plain));
        request.forwarding = proxy;
        return {};
    }
    QS_TRY_ASSIGN(request.connection, request.client->connect(host, port, protocol, proxy));
    return {};
}

Result<void> sendHead(Request& request) {
    if (request.connection == nullptr) return std::unexpected(Error::WriteFailed);
    HeadWriter out(*request.connection);

    out.put(methodName(request.method));
    out.put(" ");
    // A proxy that forwards takes the whole URL (absolute form), without
    // the user information, which travels in the authorization line.
    if (request.forwarding != nullptr) {
        out.put(request.uri.scheme);
        out.put("://");
        out.put(hostAuthority(request.uri));
    }
    out.put(requestTarget(request.uri));
    out.put(request.version == HttpVersion::http_1_0 ? " HTTP/1.0" : " HTTP/1.1");
    out.put(kCrLf);

    out.standardLine("host", request.headers.host, [&] {
        out.put("host: ");
        out.put(hostAuthority(request.uri));
        out.put(kCrLf);
    });
    out.standardLine("authorization", request.headers.authorization, [&] {
        if (!request.uri.user && !request.uri.password) return;
        out.put("authorization: ");
        out.put(basicCredentials(request.uri).text());
        out.put(kCrLf);
    });
    out.standardLine("user-agent", request.headers.user_agent, [&] {
        out.put("user-agent: ");
        out.put(kClientUserAgent);
        out.put(kCrLf);
    });
    out.standardLine("connection", request.headers.connection, [&] {
        out.put(request.keep_alive ? "connection: keep-alive" : "connection: close");
        out.put(kCrLf);
    });
    // The accepted codings other than identity; zstd and compress are not
    // among them, as no decoder for them exists here.
    out.standardLine("accept-encoding", request.headers.accept_encoding, [&] {
        out.put("accept-encoding: gzip, deflate");
        out.put(kCrLf);
    });
    switch (request.body) {
    case RequestBody::none: break;
    case RequestBody::content_length:
        out.put("content-length: ");
        out.putDecimal(request.body_length);
        out.put(kCrLf);
        break;
    case RequestBody::chunked: out.put("transfer-encoding: chunked\r\n"); break;
    }
    out.standardLine("content-type", request.headers.content_type, [] {});
    // Credentials for the proxy go on the hop to the proxy alone; an origin,
    // reached directly or through a tunnel, never sees them.
    if (request.forwarding != nullptr && !request.forwarding->authorization.empty()) {
        out.put("proxy-authorization: ");
        out.put(request.forwarding->authorization);
        out.put(kCrLf);
    }

    HostBuffer host_buffer{};
    const auto host = connectHost(request.uri, host_buffer);
    const auto protocol = protocolOf(request.uri);
    const bool at_origin = host && sameHost(*host, request.origin_host) && protocol &&
                           *protocol == request.origin_protocol &&
                           connectPort(request.uri, *protocol) == request.origin_port;
    for (const auto& [name, value] : request.extra_headers) {
        if (!at_origin && equalsIgnoringCase(name, "Authorization")) continue;
        out.put(name);
        out.put(": ");
        out.put(value);
        out.put(kCrLf);
    }
    out.put(kCrLf);
    auto sent = out.finish();
    // Part of a head may have gone out; the connection cannot carry another.
    if (!sent) request.connection->markClosing();
    return sent;
}

void closeRequest(Request& request) {
    if (request.connection == nullptr) return;
    Connection& connection = *request.connection;
    switch (request.body_state.phase) {
    case BodyState::Phase::ready: break;
    case BodyState::Phase::head_received:
        // Skipping the rest keeps the connection for the next request only
        // when the body has a framed end; discardResponseBody marks the
        // connection closing otherwise.
        if (!discardResponseBody(request)) connection.markClosing();
        break;
    case BodyState::Phase::content_length:
    case BodyState::Phase::chunked:
    case BodyState::Phase::until_close:
    case BodyState::Phase::failed: connection.markClosing(); break;
    }
    request.client->release(request.connection);
    request.connection = nullptr;
    request.body_state = BodyState{};
}

void abandonResponseBody(Request& request) { request.body_state.phase = BodyState::Phase::failed; }

}  // namespace qs
