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
    if (tls_verify) {
        exchange.client().setTrustStoreProvider(
            []() -> Result<std::shared_ptr<TrustStore>> { return processTrustStores().system(); },
            HttpClient::TrustFallback::system_path);
    }

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
    PayloadTap tap(body, PayloadLimits{limit, fetch_options.digest});
    consumer.consume(NewPayload{result.etag, validators, tap, announced});
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
    result.digest = tap.digest();
    result.size = tap.count();
    log::info(Scope::http, "200 OK, ", result.size, " bytes, etag=", result.etag);
    return result;
}

}  // namespace

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
