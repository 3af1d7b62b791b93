#include "http/client.hpp"

#include <algorithm>
#include <new>

#include "platform/net.hpp"
#include "util/text.hpp"

namespace qs {

HttpClient::~HttpClient() { closeAll(); }

Result<void> HttpClient::ensureTrustStoreLoaded() {
    const std::lock_guard lock(trust_store_lock_);
    if (!trust_store_.needsLoading()) return {};
    if (!reloadSystemTrustStore(trust_store_)) {
        return std::unexpected(Error::CertificateBundleLoadFailure);
    }
    trust_store_.markLoaded();
    return {};
}

Result<Connection*> HttpClient::connect(std::string_view host, std::uint16_t port,
                                        Protocol protocol, const ProxyServer* tunnel) {
    {
        const std::lock_guard lock(pool_lock_);
        for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
            Connection& candidate = **it;
            if (candidate.protocol() == protocol && candidate.port() == port &&
                equalsIgnoringCase(candidate.host(), host)) {
                std::unique_ptr<Connection> taken = std::move(*it);
                idle_.erase(std::next(it).base());
                try {
                    in_use_.push_back(std::move(taken));
                } catch (const std::bad_alloc&) {
                    return std::unexpected(Error::OutOfMemory);
                }
                return in_use_.back().get();
            }
        }
    }

    // Through a tunnel only the proxy's name is resolved; the origin's name
    // is the proxy's business.
    QS_TRY_ASSIGN(const auto addresses,
                  tunnel ? platform::resolveHost(tunnel->host, tunnel->port)
                         : platform::resolveHost(host, port));
    QS_TRY_ASSIGN(platform::Fd socket, platform::connectStream(addresses));
    if (tunnel) QS_TRY(openTunnel(socket.get(), host, port, *tunnel, proxy_refusal_));

    std::unique_ptr<TlsStream> tls;
    if (protocol == Protocol::tls) {
        // Every handshake failure is reported as one name; the socket closes
        // with `socket` on the way out.
        auto session = TlsStream::handshake(socket.get(), host, trust_store_);
        if (!session) return std::unexpected(Error::TlsInitializationFailed);
        tls = std::move(*session);
    }

    try {
        auto connection = std::make_unique<Connection>(std::move(socket), std::move(tls), host, port);
        const std::lock_guard lock(pool_lock_);
        in_use_.push_back(std::move(connection));
        return in_use_.back().get();
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

void HttpClient::release(Connection* connection) {
    if (connection == nullptr) return;
    const std::lock_guard lock(pool_lock_);
    const auto it = std::find_if(in_use_.begin(), in_use_.end(),
                                 [&](const auto& held) { return held.get() == connection; });
    if (it == in_use_.end()) return;
    std::unique_ptr<Connection> owned = std::move(*it);
    in_use_.erase(it);
    if (owned->closing()) return;
    if (idle_.size() >= kIdleConnectionLimit) idle_.pop_front();
    try {
        idle_.push_back(std::move(owned));
    } catch (const std::bad_alloc&) {
        // Without room in the list the connection is simply closed.
    }
}

void HttpClient::closeAll() {
    const std::lock_guard lock(pool_lock_);
    idle_.clear();
    in_use_.clear();
}

std::size_t HttpClient::idleCount() const {
    const std::lock_guard lock(pool_lock_);
    return idle_.size();
}

std::size_t HttpClient::inUseCount() const {
    const std::lock_guard lock(pool_lock_);
    return in_use_.size();
}

void destroyClient(std::unique_ptr<HttpClient> client) {
    if (client) client->closeAll();
}

}  // namespace qs
