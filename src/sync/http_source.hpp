#pragma once
// The payload source of a plain bundle: a conditional GET of its URL, the
// ETag as the version key, the body as the payload.

#include "config/config.hpp"
#include "http/proxy.hpp"
#include "sync/fetch_bundle.hpp"
#include "sync/payload_source.hpp"

namespace qs {

// The If-None-Match value of a poll: the installed payload's ETag and a
// refused one, as a list, since both answer 304 while the server still
// offers them; empty when there is neither.
[[nodiscard]] std::string ifNoneMatchFor(const BundleState& state);

class HttpSource final : public PayloadSource {
public:
    // `routes` is the bundle's proxy set-up and must outlive the source.
    HttpSource(const Bundle& bundle, const ProxyRoutes& routes, bool tls_verify);

    // Sends the installed payload's ETag and a refused one as If-None-Match
    // (or, without an ETag and with use_last_modified, its Last-Modified as
    // If-Modified-Since), bounded by the bundle's time and size limits.
    [[nodiscard]] PayloadAnswer poll(const BundleState& state, PayloadConsumer& consumer) override;

    // The request set-up a companion file of the payload (its signature)
    // is fetched with.
    [[nodiscard]] const FetchOptions& options() const { return options_; }
    [[nodiscard]] bool tlsVerify() const { return tls_verify_; }

    // For a payload its signed metadata announced: asked for without
    // validators (the metadata said it is not the live one), hashed while it
    // arrives, and never read past `size` bytes.
    void expectPayload(std::uint64_t size);

private:
    const Bundle& bundle_;
    const bool tls_verify_;
    FetchOptions options_;
    bool unconditional_ = false;
};

}  // namespace qs
