#include "http/proxy.hpp"

#include <array>
#include <new>

#include "http/connection.hpp"
#include "http/response.hpp"
#include "platform/socket_io.hpp"
#include "util/text.hpp"

namespace qs {

namespace {

constexpr std::string_view kCrLf = "\r\n";

// The port of a proxy URL that names none: the scheme's own.
constexpr std::uint16_t kProxyDefaultPort = 80;

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           equalsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

// The environment's value of `lower` or else of its upper-case twin.
std::optional<std::string_view> fromEnvironment(EnvironmentLookup environment, const char* lower,
                                                const char* upper) {
    if (auto value = environment(lower)) return value;
    return environment(upper);
}

Result<std::optional<ProxyServer>> environmentProxy(std::optional<std::string_view> value) {
    if (!value) return std::optional<ProxyServer>{};
    const std::string_view text = trimBlanks(*value);
    if (text.empty()) return std::optional<ProxyServer>{};
    Result<ProxyServer> server = std::unexpected(Error::OutOfMemory);
    if (text.find("://") == std::string_view::npos) {
        // Environments often name just host:port.
        try {
            server = parseProxyUrl("http://" + std::string(text));
        } catch (const std::bad_alloc&) {
            return std::unexpected(Error::OutOfMemory);
        }
    } else {
        server = parseProxyUrl(text);
    }
    if (!server) return std::unexpected(server.error());
    return std::optional<ProxyServer>(std::move(*server));
}

// "host:port" as CONNECT and its host line name the tunnel's far end; an
// IPv6 address gets its brackets back.
std::string authorityOf(std::string_view host, std::uint16_t port) {
    std::string text;
    const bool ipv6 = host.find(':') != std::string_view::npos;
    if (ipv6) text += '[';
    text += host;
    if (ipv6) text += ']';
    text += ':';
    text += std::to_string(port);
    return text;
}

}  // namespace

const ProxyServer* ProxyRoutes::select(Protocol protocol, std::string_view host) const {
    const std::optional<ProxyServer>& server = protocol == Protocol::tls ? https : http;
    if (!server || bypassesProxy(bypass, host)) return nullptr;
    return &*server;
}

Result<ProxyServer> parseProxyUrl(std::string_view text) {
    QS_TRY_ASSIGN(const Uri uri, parseUri(text));
    if (uri.scheme != "http") return std::unexpected(Error::UnsupportedUriScheme);
    if ((!uri.path.empty() && uri.path != "/") || uri.query || uri.fragment) {
        return std::unexpected(Error::InvalidFormat);
    }
    HostBuffer buffer{};
    QS_TRY_ASSIGN(const std::string_view host, connectHost(uri, buffer));
    try {
        ProxyServer server;
        server.host = std::string(host);
        server.port = uri.port.value_or(kProxyDefaultPort);
        if (uri.user || uri.password) server.authorization = std::string(basicCredentials(uri).text());
        return server;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

std::vector<std::string> parseNoProxy(std::string_view list) {
    std::vector<std::string> entries;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view entry = trimBlanks(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') {
            entry = entry.substr(1, entry.size() - 2);
        }
        if (!entry.empty()) entries.emplace_back(entry);
    }
    return entries;
}

bool bypassesProxy(std::span<const std::string> entries, std::string_view host) {
    for (const std::string& entry : entries) {
        if (entry == "*") return true;
        if (entry.front() == '.' ? endsWithIgnoringCase(host, entry) : equalsIgnoringCase(host, entry))
            return true;
    }
    return false;
}

Result<ProxyRoutes> proxyRoutes(std::optional<std::string_view> proxy,
                                std::optional<std::string_view> no_proxy,
                                EnvironmentLookup environment) {
    try {
        ProxyRoutes routes;
        if (!proxy) return routes;
        if (trimBlanks(*proxy) == "env") {
            QS_TRY_ASSIGN(routes.http,
                          environmentProxy(fromEnvironment(environment, "http_proxy", "HTTP_PROXY")));
            QS_TRY_ASSIGN(routes.https, environmentProxy(fromEnvironment(environment, "https_proxy",
                                                                         "HTTPS_PROXY")));
            if (!no_proxy) no_proxy = fromEnvironment(environment, "no_proxy", "NO_PROXY");
        } else {
            QS_TRY_ASSIGN(ProxyServer server, parseProxyUrl(trimBlanks(*proxy)));
            routes.http = server;
            routes.https = std::move(server);
        }
        if (no_proxy) routes.bypass = parseNoProxy(*no_proxy);
        return routes;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

Result<void> openTunnel(int socket, std::string_view host, std::uint16_t port,
                        const ProxyServer& proxy, unsigned& refused_status,
                        platform::SocketLimits& limits) {
    refused_status = 0;
    std::string head;
    try {
        const std::string authority = authorityOf(host, port);
        head.append("CONNECT ").append(authority).append(" HTTP/1.1").append(kCrLf);
        head.append("host: ").append(authority).append(kCrLf);
        if (!proxy.authorization.empty())
            head.append("proxy-authorization: ").append(proxy.authorization).append(kCrLf);
        head.append(kCrLf);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    if (!platform::socketSendAll(socket, head, limits)) return std::unexpected(Error::WriteFailed);

    // The answer head gets the limit of any response head. The proxy may
    // send nothing after it: the next bytes on the socket are the origin's
    // TLS records, read by the TLS layer, which must not find them taken.
    std::array<char, kReadBufferSize> buffer{};
    std::size_t filled = 0;
    HeadScanner scanner;
    for (;;) {
        if (filled == buffer.size()) return std::unexpected(Error::HttpHeadersOversize);
        const auto received =
            platform::socketReceive(socket, std::span<char>(buffer).subspan(filled), limits);
        if (!received) return std::unexpected(Error::ReadFailed);
        if (*received == 0) {
            return std::unexpected(filled == 0 ? Error::HttpConnectionClosing
                                               : Error::HttpRequestTruncated);
        }
        const std::string_view fresh(buffer.data() + filled, *received);
        filled += *received;
        if (const auto end = scanner.feed(fresh)) {
            const std::size_t length = filled - *received + *end;
            QS_TRY_ASSIGN(const Response answer,
                          parseResponseHead(std::string_view(buffer.data(), length)));
            if (statusClass(answer.status) != StatusClass::success) {
                // A refusal's body (an error page) is never read: the
                // connection closes with the failed open.
                refused_status = answer.status;
                return std::unexpected(Error::ProxyRefused);
            }
            if (length != filled) return std::unexpected(Error::HttpHeadersInvalid);
            return {};
        }
    }
}

}  // namespace qs
