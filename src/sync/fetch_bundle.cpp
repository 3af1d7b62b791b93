#include "sync/fetch_bundle.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <string>

#include "log/log.hpp"
#include "http/body_reader.hpp"
#include "http/client.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"
#include "http/uri.hpp"
#include "sync/load_trust_store.hpp"

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

// A proxy's refusal names its status, which tells the operator whether the
// credentials (407) or the proxy's rules (403) stand in the way.
FetchResult proxyRefusal(unsigned status) {
    return failure("proxy refused: HTTP " + std::to_string(status));
}

// The body as a consumer sees it: counts and hashes what passes and
// remembers the first failure, so that the fetch can tell a broken body
// from a consumer that stopped early, whatever the consumer made of it.
//
// With a limit it never reads more than one byte past it: that byte is
// enough to know the body is too large, and the consumer then sees a
// failed read, so neither it nor the fetch takes in more.
class BodyTap final : public Reader {
public:
    BodyTap(Reader& body, std::optional<Sha256>& hash, std::optional<std::uint64_t> limit)
        : body_(body), hash_(hash), limit_(limit) {}

    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override {
        if (failure_) return std::unexpected(*failure_);
        if (limit_) {
            const std::uint64_t room = *limit_ - std::min(*limit_, count_);
            if (out.size() > room + 1) out = out.first(static_cast<std::size_t>(room) + 1);
        }
        auto n = body_.read(out);
        if (!n) {
            failure_ = n.error();
            return n;
        }
        count_ += *n;
        if (limit_ && count_ > *limit_) {
            over_limit_ = true;
            failure_ = Error::ReadFailed;
            return std::unexpected(Error::ReadFailed);
        }
        if (hash_) hash_->update(std::string_view(out.data(), *n));
        return n;
    }

    [[nodiscard]] std::uint64_t count() const { return count_; }
    [[nodiscard]] std::optional<Error> failure() const { return failure_; }
    [[nodiscard]] bool overLimit() const { return over_limit_; }

private:
    Reader& body_;
    std::optional<Sha256>& hash_;
    std::optional<std::uint64_t> limit_;
    std::uint64_t count_ = 0;
    std::optional<Error> failure_;
    bool over_limit_ = false;
};

// What the consumer left of a body is read in blocks of this size and
// dropped: a block per receive on a fast connection, and no more memory.
constexpr std::size_t kDrainBlock = 64 * 1024;

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

    // Read only when a connection needs TLS: a plain HTTP poll opens no
    // certificate file.
    if (tls_verify) {
        exchange.client().setTrustStoreLoader([](TrustStore& store) { loadTrustStore(store); });
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

    RequestOptions options;
    options.extra_headers = std::span<const ExtraHeader>(extra.data(), extra_count);
    options.proxy = fetch_options.proxy;
    auto request = openRequest(exchange.client(), Method::get, *uri, options);
    if (!request) {
        log::error(Scope::http, "HTTP request failed for ", log::redacted(url), ": ",
                   causeOf(exchange, request.error()));
        if (request.error() == Error::ProxyRefused) return proxyRefusal(exchange.client().proxyRefusal());
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
        log::error(Scope::http, "HTTP receiveHead failed: ", causeOf(exchange, response.error()));
        if (response.error() == Error::ProxyRefused) {
            return proxyRefusal(exchange.client().proxyRefusal());
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
            return proxyRefusal(response->status);
        }
        return failure("unexpected status");
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
    std::optional<Sha256> hash;
    if (fetch_options.digest) hash.emplace();

    std::unique_ptr<char[]> window;
    if (coding != ContentCoding::identity) {
        window.reset(new (std::nothrow) char[kInflateWorkspaceSize]);
        if (!window) return failure("out of memory");
    }
    DecodingBodyReader body = decodingBodyReader(
        exchange.request(), *response,
        std::span<char>(window.get(), window ? kInflateWorkspaceSize : 0));

    if (fetch_options.consumer != nullptr) {
        BodyTap tap(body, hash, limit);
        fetch_options.consumer->consume(result.etag, tap);
        std::unique_ptr<char[]> block(new (std::nothrow) char[kDrainBlock]);
        if (!block) {
            log::error(Scope::http, "failed to read response body: ", Error::OutOfMemory);
            return failure("body read failed");
        }
        while (!tap.failure()) {
            const auto n = tap.read(std::span<char>(block.get(), kDrainBlock));
            if (n && *n == 0) break;
        }
        if (tap.overLimit()) {
            log::error(Scope::http, "response body passed the limit of ", *limit, " bytes");
            return overLimit(*limit);
        }
        if (tap.failure() == Error::OutOfMemory) return failure("out of memory");
        if (tap.failure()) {
            log::error(Scope::http, "failed to read response body: ",
                       causeOf(exchange, Error::ReadFailed));
            return failure(reasonOf(exchange, "body read failed"));
        }
        if (hash) {
            if (auto digest = hash->finish()) result.digest = *digest;
        }
        result.size = tap.count();
        log::info(Scope::http, "200 OK, ", result.size, " bytes, etag=", result.etag);
        return result;
    }

    for (;;) {
        // With a limit, a read never asks for more than one byte past it:
        // that byte is enough to know the body is too large.
        std::size_t step = kBodyReadStep;
        if (limit) {
            const std::uint64_t room = *limit - std::min<std::uint64_t>(*limit, result.body.size());
            if (room < step - 1) step = static_cast<std::size_t>(room) + 1;
        }
        const auto spare = result.body.spare(step);
        if (!spare) {
            log::error(Scope::http, "failed to read response body: ", Error::OutOfMemory);
            return failure("body read failed");
        }
        const auto n = body.read(*spare);
        if (!n && n.error() == Error::OutOfMemory) {
            // The decoder's own state, taken on its first read, stands in for
            // the window: without it the fetch ends like a missing window.
            return failure("out of memory");
        }
        if (!n) {
            // Transport, framing and decoding failures look the same to the
            // operator: the body could not be read to its end.
            log::error(Scope::http, "failed to read response body: ",
                       causeOf(exchange, Error::ReadFailed));
            return failure(reasonOf(exchange, "body read failed"));
        }
        if (*n == 0) break;
        if (hash) hash->update(std::string_view(spare->data(), *n));
        result.body.grow(*n);
        if (limit && result.body.size() > *limit) {
            log::error(Scope::http, "response body passed the limit of ", *limit, " bytes");
            return overLimit(*limit);
        }
    }
    if (hash) {
        // Without a digest the payload is simply installed as if it were new.
        if (auto digest = hash->finish()) result.digest = *digest;
    }
    result.size = result.body.size();
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
