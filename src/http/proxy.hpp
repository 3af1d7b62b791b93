#pragma once
// Forward proxies: which requests go through one, and the CONNECT tunnel
// that carries an https exchange through it. Plain http requests go to the
// proxy in absolute form; https goes end to end through a tunnel, so the
// TLS session and its certificate checks are with the origin, and the proxy
// sees only the host and port it is asked to connect to.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/uri.hpp"
#include "platform/socket_io.hpp"
#include "util/error.hpp"

namespace qs {

struct ProxyServer {
    std::string host;  // the connect host (percent-decoded, no brackets)
    std::uint16_t port = 0;
    // "Basic ..." from the proxy URL's user information, sent to the proxy
    // alone as Proxy-Authorization; empty without user information.
    std::string authorization;
};

struct ProxyRoutes {
    std::optional<ProxyServer> http;   // for http targets
    std::optional<ProxyServer> https;  // for https targets, through CONNECT
    // no_proxy entries: a host name (any letter case) or ".suffix"; "*" is
    // every host.
    std::vector<std::string> bypass;

    // The proxy a request to `host` over `protocol` goes through, or
    // nullptr when it goes direct.
    [[nodiscard]] const ProxyServer* select(Protocol protocol, std::string_view host) const;
};

// "http://[user[:password]@]host[:port][/]"; the port defaults to 80. The
// scheme must be http: the agent talks to the proxy itself in plain text.
// Errors: those of parseUri, UnsupportedUriScheme, UriMissingHost,
// UriHostTooLong, InvalidFormat (a path beyond "/", a query or a fragment),
// OutOfMemory.
[[nodiscard]] Result<ProxyServer> parseProxyUrl(std::string_view text);

// Comma-separated entries with blanks around them removed; empty entries
// are dropped. Brackets around an IPv6 address are removed, as the connect
// host has none.
[[nodiscard]] std::vector<std::string> parseNoProxy(std::string_view list);

// Whether `host` matches an entry: equal ignoring letter case, or ending in
// an entry that begins with "." (".example.org" matches "a.example.org",
// not "example.org"), or the entry "*".
[[nodiscard]] bool bypassesProxy(std::span<const std::string> entries, std::string_view host);

// Reads one environment variable; none when unset.
using EnvironmentLookup = std::optional<std::string_view> (*)(const char* name);

// The routes for the keys `proxy` and `no_proxy`. Without `proxy` there is
// none. `proxy = env` takes http_proxy, https_proxy and no_proxy from the
// environment (the lower-case name first, then the upper-case one); a value
// without "://" there is taken as host[:port] of an http proxy, and an empty
// value means no proxy. A `no_proxy` key wins over the environment's.
// Errors: those of parseProxyUrl.
[[nodiscard]] Result<ProxyRoutes> proxyRoutes(std::optional<std::string_view> proxy,
                                              std::optional<std::string_view> no_proxy,
                                              EnvironmentLookup environment);

// Asks the proxy connected on `socket` for a tunnel to host:port and reads
// its answer head. Any 2xx opens the tunnel. Errors: ProxyRefused with the
// proxy's status in `refused_status`; WriteFailed; ReadFailed;
// HttpConnectionClosing, HttpRequestTruncated, HttpHeadersOversize,
// HttpHeadersInvalid for an answer that is cut short or malformed, or that
// has bytes after its head (nothing may come before the TLS handshake).
// Its waits go through `limits`, like every wait of the connection.
[[nodiscard]] Result<void> openTunnel(int socket, std::string_view host, std::uint16_t port,
                                      const ProxyServer& proxy, unsigned& refused_status,
                                      platform::SocketLimits& limits);

}  // namespace qs
