#include "http/client.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "platform/net.hpp"
#include "platform/process_state.hpp"
#include "util/text.hpp"

namespace qs {

namespace {

std::int64_t monotonicNow() { return static_cast<std::int64_t>(platform::monotonicMilliseconds()); }

}  // namespace

HttpClient::~HttpClient() { closeAll(); }

void HttpClient::setTrustStoreProvider(TrustStoreProvider provider, TrustFallback fallback) {
    trust_store_provider_ = std::move(provider);
    trust_fallback_ = fallback;
}

Result<void> HttpClient::ensureTrustStoreLoaded() {
    QS_TRY(runTrustStoreLoader());
    if (!trust_store_->needsLoading()) return {};
    if (const auto replaced = replaceWithCertificateFile(*trust_store_, kSystemCertPath);
        !replaced) {
        trust_store_error_ = replaced.error();
        return std::unexpected(Error::CertificateBundleLoadFailure);
    }
    trust_store_->markLoaded();
    return {};
}

Result<void> HttpClient::runTrustStoreLoader() {
    if (trust_store_provider_) {
        const auto provided = std::exchange(trust_store_provider_, nullptr)();
        if (!provided) {
            trust_store_error_ = provided.error();
            if (trust_fallback_ == TrustFallback::none)
                return std::unexpected(Error::CertificateBundleLoadFailure);
        } else {
            trust_store_ = *provided;
        }
    }
    if (trust_store_loader_ != nullptr && trust_store_->needsLoading())
        std::exchange(trust_store_loader_, nullptr)(*trust_store_);
    // A provider without fallback that failed once fails every later
    // connection too: nothing else may stand in for the store it names.
    if (trust_fallback_ == TrustFallback::none && trust_store_error_)
        return std::unexpected(Error::CertificateBundleLoadFailure);
    return {};
}

void HttpClient::setTimeLimits(const TimeLimits& limits) {
    connect_seconds_ = limits.connect_seconds;
    socket_limits_.single_wait_ms = std::int64_t{limits.io_seconds} * 1000;
    socket_limits_.deadline_ms =
        limits.total_seconds == 0
            ? 0
            : monotonicNow() + std::int64_t{limits.total_seconds} * 1000;
}

namespace {

// While a connection is being set up its waits end at the nearer of the
// connect limit and the whole exchange's deadline; afterwards the exchange's
// deadline alone applies again.
class ConnectDeadline {
public:
    ConnectDeadline(platform::SocketLimits& limits, std::uint32_t connect_seconds)
        : limits_(limits), saved_(limits.deadline_ms) {
        if (connect_seconds == 0) return;
        const std::int64_t until =
            monotonicNow() + std::int64_t{connect_seconds} * 1000;
        if (limits_.deadline_ms == 0 || until < limits_.deadline_ms) limits_.deadline_ms = until;
    }
    ConnectDeadline(const ConnectDeadline&) = delete;
    ConnectDeadline& operator=(const ConnectDeadline&) = delete;
    ~ConnectDeadline() { limits_.deadline_ms = saved_; }

    // Name resolution cannot be cut short; a lookup that outlasted the
    // limit or a stop signal is caught right after it.
    [[nodiscard]] Result<void> check() {
        if (platform::shutdownRequested()) return giveUp(Error::Interrupted);
        if (limits_.deadline_ms != 0 && monotonicNow() >= limits_.deadline_ms)
            return giveUp(Error::TimedOut);
        return {};
    }

private:
    Result<void> giveUp(Error why) {
        if (!limits_.ended_by) limits_.ended_by = why;
        return std::unexpected(why);
    }

    platform::SocketLimits& limits_;
    std::int64_t saved_;
};

}  // namespace

Result<Connection*> HttpClient::connect(std::string_view host, std::uint16_t port,
                                        Protocol protocol, const ProxyServer* tunnel) {
    {
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
    // Whichever way TLS came in (the first URL or a redirect), the loader
    // fills the store before the first handshake needs it.
    if (protocol == Protocol::tls) QS_TRY(runTrustStoreLoader());

    ConnectDeadline deadline(socket_limits_, connect_seconds_);
    QS_TRY(deadline.check());
    // Through a tunnel only the proxy's name is resolved; the origin's name
    // is the proxy's business.
    QS_TRY_ASSIGN(const auto addresses,
                  tunnel ? platform::resolveHost(tunnel->host, tunnel->port)
                         : platform::resolveHost(host, port));
    QS_TRY(deadline.check());
    QS_TRY_ASSIGN(platform::Fd socket, platform::connectStream(addresses, socket_limits_));
    if (tunnel) QS_TRY(openTunnel(socket.get(), host, port, *tunnel, proxy_refusal_, socket_limits_));

    std::unique_ptr<TlsStream> tls;
    if (protocol == Protocol::tls) {
        // Every handshake failure is reported as one name; the socket closes
        // with `socket` on the way out.
        TlsFailure failure;
        auto session = TlsStream::handshake(socket.get(), host, *trust_store_, tls_options_,
                                            failure, &socket_limits_);
        if (!session) {
            last_tls_failure_ = std::move(failure);
            return std::unexpected(Error::TlsInitializationFailed);
        }
        tls = std::move(*session);
    }

    try {
        auto connection = std::make_unique<Connection>(std::move(socket), std::move(tls), host,
                                                       port, &socket_limits_);
        in_use_.push_back(std::move(connection));
        return in_use_.back().get();
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

void HttpClient::release(Connection* connection) {
    if (connection == nullptr) return;
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
    idle_.clear();
    in_use_.clear();
}

std::size_t HttpClient::idleCount() const {
    return idle_.size();
}

std::size_t HttpClient::inUseCount() const {
    return in_use_.size();
}

void destroyClient(std::unique_ptr<HttpClient> client) {
    if (client) client->closeAll();
}

}  // namespace qs
