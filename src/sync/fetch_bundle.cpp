#include "sync/fetch_bundle.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <string>

#include "log/log.hpp"
#include "http/body_reader.hpp"
#include "http/client.hpp"
#include "http/proxy.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"
#include "http/uri.hpp"
#include "sync/trust_store_cache.hpp"

namespace qs {

namespace {

using log::Scope;

// The agent's own product token, sent as an extra header after the client's.
constexpr std::string_view kAgentUserAgent = "quillstead/" QUILLSTEAD_VERSION;
// Bodies are read straight into the body buffer in steps of this size. A
// plain body goes from the socket to the buffer in one receive per step, so
// a larger step means fewer calls on a fast connection; it stays small
// against any body worth the speed, and the buffer commits pages only as
// the data arrives.
constexpr std::size_t kBodyReadStep = std::size_t{1} << 20;

FetchResult failure(std::string_view reason) {
    FetchResult result;
    result.kind = FetchResult::Kind::failed;
    result.reason = reason;
    return result;
}

// "host:port" of the peer a request talks to: the proxy when it goes
// through one, so that a failure names the machine that failed.
std::string peerOf(const Uri& uri, const ProxyServer* via) {
    if (via != nullptr) return via->host + ":" + std::to_string(via->port);
    const auto protocol = protocolOf(uri);
    const std::uint16_t port = protocol ? connectPort(uri, *protocol) : 0;
    return std::string(uri.host.value_or("")) + ":" + std::to_string(port);
}

// A proxy's refusal names the proxy and its status, which tells the
// operator whether the credentials (407) or the proxy's rules (403) stand
// in the way.
FetchResult proxyRefusal(std::string_view proxy, unsigned status) {
    return failure("proxy " + std::string(proxy) + " refused: HTTP " + std::to_string(status));
}

// The body held in memory for a fetch without a consumer: read straight
// into the page buffer, one step at a time.
class BodyCollector final : public PayloadConsumer {
public:
    explicit BodyCollector(platform::PageBuffer& body) : body_(body) {}

    void consume(const NewPayload& payload) override {
        for (;;) {
            const auto spare = body_.spare(kBodyReadStep);
            if (!spare) {
                out_of_memory_ = true;
                return;
            }
            const auto n = payload.bytes.read(*spare);
            if (!n || *n == 0) return;
            body_.grow(*n);
        }
    }

    [[nodiscard]] bool outOfMemory() const { return out_of_memory_; }

private:
    platform::PageBuffer& body_;
    bool out_of_memory_ = false;
};

// Ends the exchange and the client in the order the pool expects, on every
// path out of the fetch: the request first, then the client it belongs to.
class Exchange {
public:
    explicit Exchange(std::unique_ptr<HttpClient> client) : client_(std::move(client)) {}
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;
    ~Exchange() {
        if (request_) closeRequest(*request_);
        request_.reset();
        destroyClient(std::move(client_));
    }

    HttpClient& client() { return *client_; }
    void setRequest(Request&& request) { request_.emplace(std::move(request)); }
    Request& request() { return *request_; }

private:
    std::unique_ptr<HttpClient> client_;
    std::optional<Request> request_;
};

// A step that failed because a wait gave up reports why: the limit or the
// stop signal, not the name its layer collapsed every failure to.
Error causeOf(Exchange& exchange, Error reported) {
    return exchange.client().socketLimits().ended_by.value_or(reported);
}

std::string_view reasonOf(Exchange& exchange, std::string_view usual) {
    const auto ended_by = exchange.client().socketLimits().ended_by;
    if (ended_by == Error::TimedOut) return "timed out";
    if (ended_by == Error::Interrupted) return "interrupted";
    return usual;
}

constexpr std::string_view kClientCertificateRefused =
    "TLS: client certificate refused by the server";

// Alerts a server sends about the client's certificate: bad, unsupported,
// revoked, expired or unknown certificate, unknown CA, access denied, and
// TLS 1.3's certificate_required for none at all.
bool refusesClientCertificate(unsigned alert) {
    return (alert >= 42 && alert <= 46) || alert == 48 || alert == 49 || alert == 116;
}

// The words for a failed handshake whose cause an operator can act on;
// nullopt leaves the general reason.
std::optional<std::string> tlsReason(const TlsFailure& failure, TlsProfile profile) {
    switch (failure.reason) {
    case Error::CertificateExpired: return "TLS: certificate expired at " + failure.detail;
    case Error::CertificateHostMismatch: return "TLS: host name mismatch (" + failure.detail + ")";
    case Error::TlsCertificateNotVerified: return "TLS: not trusted (issuer " + failure.detail + ")";
    default: break;
    }
    if (!failure.alert) return std::nullopt;
    if (failure.certificate_requested && refusesClientCertificate(*failure.alert))
        return std::string(kClientCertificateRefused);
    // handshake_failure or insufficient_security before the server asked
    // for anything of ours: nothing in our offer suited it.
    if (!failure.certificate_requested && (*failure.alert == 40 || *failure.alert == 71)) {
        if (profile == TlsProfile::baseline)
            return "TLS: no shared cipher (a TLS 1.2 server with an ECDSA certificate needs "
                   "tls_profile = compatible)";
        return "TLS: no shared cipher";
    }
    return std::nullopt;
}

// A server that asked for a client certificate and then ended the exchange
// with an alert about it, or (nginx) answered 400: under TLS 1.3 the
// refusal comes after our side of the handshake is done, so it shows only
// on the first read.
bool clientCertificateRefused(Exchange& exchange, std::optional<unsigned> status) {
    const Connection* connection = exchange.request().connection;
    if (connection == nullptr || connection->tls() == nullptr) return false;
    const TlsStream& session = *connection->tls();
    if (!session.certificateRequested()) return false;
    if (status) return *status == 400;
    const auto alert = session.alertReceived();
    return alert && refusesClientCertificate(*alert);
}

FetchResult identityFailure(const TrustStoreCache::IdentityFailure& failed) {
    log::error(Scope::http, "client certificate not usable: ", failed.path, ": ", failed.error);
    if (failed.error == Error::KeyFileOpenToOthers)
        return failure("TLS: client key " + failed.path + " is readable by group or others");
    return failure("TLS: client certificate " + failed.path + ": error." +
                   std::string(errorName(failed.error)));
}

FetchResult overLimit(std::uint64_t limit) {
    FetchResult result = failure("payload over limit");
    result.over_limit = limit;
    return result;
}

FetchResult fetch(std::string_view url, std::string_view cached_etag,
                  const std::optional<std::string>& authorization, bool tls_verify,
                  const FetchOptions& fetch_options) {
    std::unique_ptr<HttpClient> new_client(new (std::nothrow) HttpClient());
    if (!new_client) return failure("out of memory");
    Exchange exchange(std::move(new_client));
    exchange.client().setTimeLimits(fetch_options.limits);

    // Asked for only when a connection needs TLS: a plain HTTP poll opens
    // no certificate file.
    const TlsSettings& tls = fetch_options.tls;
    if (!tls.ca_file.empty()) {
        exchange.client().setTrustStoreProvider(
            [path = std::string(tls.ca_file)]() { return processTrustStores().caFile(path); },
            HttpClient::TrustFallback::none);
    } else if (tls_verify) {
        exchange.client().setTrustStoreProvider(
            []() -> Result<std::shared_ptr<TrustStore>> { return processTrustStores().system(); },
            HttpClient::TrustFallback::system_path);
    }
    TlsOptions tls_options;
    tls_options.profile = tls.profile;
    if (!tls.client_cert.empty() && !tls.client_key.empty()) {
        auto identity = processTrustStores().clientIdentity(std::string(tls.client_cert),
                                                            std::string(tls.client_key));
        if (!identity) return identityFailure(identity.error());
        tls_options.identity = std::move(*identity);
    }
    exchange.client().setTlsOptions(std::move(tls_options));

    std::array<ExtraHeader, 3> extra{};
    std::size_t extra_count = 0;
    extra[extra_count++] = {"User-Agent", kAgentUserAgent};
    if (!cached_etag.empty()) {
        extra[extra_count++] = {"If-None-Match", cached_etag};
    } else if (!fetch_options.if_modified_since.empty()) {
        extra[extra_count++] = {"If-Modified-Since", fetch_options.if_modified_since};
    }
    if (authorization && !authorization->empty())
        extra[extra_count++] = {"Authorization", *authorization};

    const auto uri = parseUri(url);
    if (!uri) {
        log::error(Scope::http, "invalid URL: ", log::redacted(url));
        return failure("invalid URL");
    }

    const ProxyServer* via = nullptr;
    if (fetch_options.proxy != nullptr) {
        if (const auto protocol = protocolOf(*uri))
            via = fetch_options.proxy->select(*protocol, uri->host.value_or(""));
    }
    const std::string peer = peerOf(*uri, via);

    RequestOptions options;
    options.extra_headers = std::span<const ExtraHeader>(extra.data(), extra_count);
    options.proxy = fetch_options.proxy;
    auto request = openRequest(exchange.client(), Method::get, *uri, options);
    if (!request) {
        log::error(Scope::http, "HTTP request failed for ", log::redacted(url), ": ",
                   causeOf(exchange, request.error()));
        if (request.error() == Error::ProxyRefused)
            return proxyRefusal(peer, exchange.client().proxyRefusal());
        if (request.error() == Error::ConnectionRefused && !exchange.client().socketLimits().ended_by)
            return failure("connection refused by " + peer);
        if (request.error() == Error::CertificateBundleLoadFailure) {
            const std::string_view path = tls.ca_file.empty() ? kSystemCertPath : tls.ca_file;
            return failure("TLS: CA file " + std::string(path) + ": error." +
                           std::string(errorName(
                               exchange.client().trustStoreError().value_or(Error::Unexpected))));
        }
        if (request.error() == Error::TlsInitializationFailed &&
            !exchange.client().socketLimits().ended_by && exchange.client().lastTlsFailure()) {
            if (auto reason = tlsReason(*exchange.client().lastTlsFailure(), tls.profile))
                return failure(*reason);
        }
        return failure(reasonOf(exchange, "connection failed"));
    }
    exchange.setRequest(std::move(*request));

    if (auto sent = sendHead(exchange.request()); !sent) {
        log::error(Scope::http, "HTTP send failed: ", causeOf(exchange, sent.error()));
        return failure(reasonOf(exchange, "send failed"));
    }

    // Followed redirects keep their targets here; the request points into it
    // until it is closed, which the Exchange does before this goes.
    std::array<char, kRedirectBufferSize> redirect_buffer;
    const auto response = receiveHead(exchange.request(), redirect_buffer);
    if (!response) {
        log::error(Scope::http, "HTTP receive failed: ", causeOf(exchange, response.error()));
        if (clientCertificateRefused(exchange, std::nullopt))
            return failure(kClientCertificateRefused);
        if (response.error() == Error::ProxyRefused) {
            return proxyRefusal(peer, exchange.client().proxyRefusal());
        }
        if (response.error() == Error::HttpRedirectDowngrade)
            return failure("redirect from https to http refused");
        return failure(reasonOf(exchange, "receive failed"));
    }
    if (response->status == 304) {
        log::info(Scope::http, "304 Not Modified");
        FetchResult result;
        result.kind = FetchResult::Kind::not_modified;
        return result;
    }
    if (response->status != 200) {
        log::error(Scope::http, "HTTP ", response->status, " for ", log::redacted(url));
        // 407 comes from a proxy by definition; other statuses may be the
        // origin's, passed on.
        if (response->status == 407 && exchange.request().forwarding != nullptr) {
            return proxyRefusal(peer, response->status);
        }
        if (clientCertificateRefused(exchange, response->status))
            return failure(kClientCertificateRefused);
        return failure("HTTP " + std::to_string(response->status));
    }

    const std::optional<std::uint64_t> limit = fetch_options.max_body_bytes;
    const ContentCoding coding = contentCodingOf(*response);
    // Without a content coding the announced length is the payload's: a
    // body announced larger than the limit is refused unread.
    if (limit && coding == ContentCoding::identity && response->content_length &&
        *response->content_length > *limit) {
        log::error(Scope::http, "response body of ", *response->content_length,
                   " bytes announced, over the limit of ", *limit);
        abandonResponseBody(exchange.request());
        return overLimit(*limit);
    }

    FetchResult result;
    result.kind = FetchResult::Kind::fetched;
    result.etag = etagFromHead(response->head);
    result.last_modified = headerFromHead(response->head, "last-modified");

    std::unique_ptr<char[]> window;
    if (coding != ContentCoding::identity) {
        window.reset(new (std::nothrow) char[kInflateWorkspaceSize]);
        if (!window) return failure("out of memory");
    }
    DecodingBodyReader body = decodingBodyReader(
        exchange.request(), *response,
        std::span<char>(window.get(), window ? kInflateWorkspaceSize : 0));

    BodyCollector collector(result.body);
    PayloadConsumer& consumer =
        fetch_options.consumer != nullptr ? *fetch_options.consumer : collector;
    const PayloadValidators validators{result.etag, result.last_modified};
    std::optional<std::uint64_t> announced;
    if (coding == ContentCoding::identity) announced = response->content_length;
    // A consumer that hashes what it keeps takes the digest off this thread.
    const bool digest_by_consumer = fetch_options.digest && consumer.hashesPayload();
    PayloadTap tap(body, PayloadLimits{limit, fetch_options.digest && !digest_by_consumer});
    consumer.consume(NewPayload{result.etag, validators, tap, announced, digest_by_consumer});
    if (collector.outOfMemory()) {
        log::error(Scope::http, "failed to read response body: ", Error::OutOfMemory);
        return failure("body read failed");
    }
    tap.drain();
    if (tap.overLimit()) {
        log::error(Scope::http, "response body passed the limit of ", *limit, " bytes");
        return overLimit(*limit);
    }
    // The decoder's own state, taken on its first read, stands in for the
    // window: without it the fetch ends like a missing window.
    if (tap.failure() == Error::OutOfMemory) return failure("out of memory");
    if (tap.failure()) {
        // Transport, framing and decoding failures look the same to the
        // operator: the body could not be read to its end.
        log::error(Scope::http, "failed to read response body: ",
                   causeOf(exchange, Error::ReadFailed));
        return failure(reasonOf(exchange, "body read failed"));
    }
    result.digest = digest_by_consumer ? consumer.payloadDigest() : tap.digest();
    result.size = tap.count();
    log::info(Scope::http, "200 OK, ", result.size, " bytes, etag=", result.etag);
    return result;
}

}  // namespace

TlsSettings tlsSettingsOf(const BundleOptions& options) {
    TlsSettings settings;
    if (options.ca_file) settings.ca_file = *options.ca_file;
    if (options.client_cert) settings.client_cert = *options.client_cert;
    if (options.client_key) settings.client_key = *options.client_key;
    if (options.tls_profile == TlsProfileSetting::compatible)
        settings.profile = TlsProfile::compatible;
    return settings;
}

FetchResult fetchBundle(std::string_view url, std::string_view cached_etag,
                        const std::optional<std::string>& authorization, bool tls_verify,
                        const FetchOptions& options) {
    try {
        return fetch(url, cached_etag, authorization, tls_verify, options);
    } catch (const std::bad_alloc&) {
        // Containers deep in the client may still throw; the cycle ends with
        // the reason an operator can act on instead of ending the agent.
        return failure("out of memory");
    }
}

}  // namespace qs
