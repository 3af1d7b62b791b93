#pragma once
// The HTTP client of one sync cycle: its trust store and its connection
// pool. Connections are reused only within one client, when a later request
// (in the agent: a redirect) goes to a host, port and protocol already
// connected.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "http/connection.hpp"
#include "http/proxy.hpp"
#include "tls/trust_store.hpp"
#include "http/uri.hpp"

namespace qs {

// Idle connections kept per client; the oldest goes when one more is released.
inline constexpr std::size_t kIdleConnectionLimit = 32;

// How long the client's network steps may take, in seconds; 0: no limit.
struct TimeLimits {
    // Name resolution, TCP connect and TLS handshake of each new connection.
    std::uint32_t connect_seconds = 0;
    // Any single wait for a socket to become readable or writable.
    std::uint32_t io_seconds = 0;
    // Everything from setTimeLimits on: all connections, redirects, heads
    // and bodies.
    std::uint32_t total_seconds = 0;
};

class HttpClient {
public:
    HttpClient() = default;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
    ~HttpClient();

    // The store starts empty and marked as needing to be loaded.
    [[nodiscard]] TrustStore& trustStore() { return *trust_store_; }

    // Fills the store the first time a connection needs TLS (the first URL
    // or a redirect), so that a client that only ever speaks plain HTTP
    // reads no certificate at all. Runs once; where it leaves the store
    // marked as needing loading, opening an https request goes on to the
    // system path, and a redirect's handshake meets the empty store.
    using TrustStoreLoader = void (*)(TrustStore&);
    void setTrustStoreLoader(TrustStoreLoader loader) { trust_store_loader_ = loader; }

    // Hands the client a store (often one kept across clients) the first
    // time a connection needs TLS, in place of its own. With
    // TrustFallback::none an error from the provider fails that connection
    // with CertificateBundleLoadFailure; with system_path a store that
    // still needs loading goes on to the system path, as the loader's does.
    // trustStoreError() keeps the provider's or the system path's error.
    enum class TrustFallback { system_path, none };
    using TrustStoreProvider = std::function<Result<std::shared_ptr<TrustStore>>()>;
    void setTrustStoreProvider(TrustStoreProvider provider, TrustFallback fallback);
    [[nodiscard]] std::optional<Error> trustStoreError() const { return trust_store_error_; }

    // Loads the store if it is still marked as needing it (the https path of
    // opening a request): through the loader once, if one is set, then from
    // the system path. CertificateBundleLoadFailure.
    [[nodiscard]] Result<void> ensureTrustStoreLoaded();

    // The profile and client identity of every later TLS handshake.
    void setTlsOptions(TlsOptions options) { tls_options_ = std::move(options); }
    // Why the last TLS handshake of this client failed, when one did (the
    // connection itself only reports TlsInitializationFailed).
    [[nodiscard]] const std::optional<TlsFailure>& lastTlsFailure() const {
        return last_tls_failure_;
    }

    // Applies `limits` to every later step of this client; the total time
    // counts from this call. Without it, steps wait as long as they must,
    // and only a stop signal ends a wait.
    void setTimeLimits(const TimeLimits& limits);
    // The limits every connection of the client waits with. After a failed
    // step, `ended_by` says whether a limit (TimedOut) or a stop signal
    // (Interrupted) ended it, which the errors of the steps, collapsed to
    // ReadFailed, WriteFailed or TlsInitializationFailed, no longer show.
    [[nodiscard]] platform::SocketLimits& socketLimits() { return socket_limits_; }

    // A connection to `host` (the connect host: compared without regard to
    // letter case), `port` and `protocol`: the most recently released idle
    // one that matches, or a new one (resolution, TCP connect, TLS
    // handshake). Nothing is sent on a pooled connection to probe it.
    // Errors: those of name resolution and connect (UnknownHostName,
    // TemporaryNameServerFailure, NameServerFailure,
    // HostLacksNetworkAddresses, ConnectionRefused, NetworkUnreachable,
    // ConnectionTimedOut, ConnectionResetByPeer, UnexpectedConnectFailure),
    // OutOfMemory, TlsInitializationFailed, and Interrupted or TimedOut when
    // a stop signal or a time limit ended it before the TLS handshake.
    // With `tunnel`, a new connection goes to that proxy and asks it with
    // CONNECT for a tunnel to host:port; the TLS handshake then runs with
    // `host` through the tunnel, so the certificate is checked against the
    // origin's name whatever the proxy connects to. A refusal is
    // ProxyRefused, its status kept for proxyRefusal(); the tunnel's other
    // errors are those of openTunnel.
    [[nodiscard]] Result<Connection*> connect(std::string_view host, std::uint16_t port,
                                              Protocol protocol,
                                              const ProxyServer* tunnel = nullptr);

    // The status of the last CONNECT a proxy refused; 0 when none was.
    [[nodiscard]] unsigned proxyRefusal() const { return proxy_refusal_; }

    // Hands a connection back: closed when it is marked closing, else kept
    // as the most recent idle one (evicting the oldest beyond the limit).
    void release(Connection* connection);

    // Closes every connection, idle or in use. The client stays usable.
    void closeAll();

    [[nodiscard]] std::size_t idleCount() const;
    [[nodiscard]] std::size_t inUseCount() const;

private:
    [[nodiscard]] Result<void> runTrustStoreLoader();

    // Declared first, so that it outlives the connections that refer to it.
    platform::SocketLimits socket_limits_;
    std::uint32_t connect_seconds_ = 0;
    std::shared_ptr<TrustStore> trust_store_ = std::make_shared<TrustStore>();
    TrustStoreLoader trust_store_loader_ = nullptr;
    TrustStoreProvider trust_store_provider_;
    TrustFallback trust_fallback_ = TrustFallback::system_path;
    std::optional<Error> trust_store_error_;
    TlsOptions tls_options_;
    std::optional<TlsFailure> last_tls_failure_;

    std::vector<std::unique_ptr<Connection>> in_use_;
    std::deque<std::unique_ptr<Connection>> idle_;  // oldest first
    unsigned proxy_refusal_ = 0;
};

// Closes every connection and frees the trust store with the client.
void destroyClient(std::unique_ptr<HttpClient> client);

}  // namespace qs
