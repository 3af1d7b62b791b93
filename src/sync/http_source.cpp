#include "sync/http_source.hpp"

#include <string>

namespace qs {

namespace {

PayloadAnswer answerOf(FetchResult&& fetched) {
    PayloadAnswer answer;
    switch (fetched.kind) {
    case FetchResult::Kind::not_modified: answer.kind = PayloadAnswer::Kind::unchanged; break;
    case FetchResult::Kind::failed: answer.kind = PayloadAnswer::Kind::failed; break;
    case FetchResult::Kind::fetched: answer.kind = PayloadAnswer::Kind::new_payload; break;
    }
    answer.validators.etag = std::move(fetched.etag);
    answer.validators.last_modified = std::move(fetched.last_modified);
    answer.size = fetched.size;
    answer.digest = fetched.digest;
    answer.reason = std::move(fetched.reason);
    answer.over_limit = fetched.over_limit;
    return answer;
}

}  // namespace

std::string ifNoneMatchFor(const BundleState& state) {
    if (state.refused_etag.empty() || state.refused_etag == state.etag) return state.etag;
    if (state.etag.empty()) return state.refused_etag;
    return state.etag + ", " + state.refused_etag;
}

HttpSource::HttpSource(const Bundle& bundle, const ProxyRoutes& routes, bool tls_verify)
    : bundle_(bundle), tls_verify_(tls_verify) {
    options_.proxy = &routes;
    options_.digest = bundle.options.skip_identical.value_or(false);
    options_.limits.connect_seconds = bundle.options.connect_timeout.value_or(0);
    options_.limits.io_seconds = bundle.options.io_timeout.value_or(0);
    options_.limits.total_seconds = bundle.options.max_fetch_time.value_or(0);
    options_.max_body_bytes = bundle.options.max_payload_bytes;
    options_.tls = tlsSettingsOf(bundle.options);
}

void HttpSource::expectPayload(std::uint64_t size) {
    unconditional_ = true;
    options_.digest = true;
    if (!options_.max_body_bytes || *options_.max_body_bytes > size) options_.max_body_bytes = size;
}

PayloadAnswer HttpSource::poll(const BundleState& state, PayloadConsumer& consumer) {
    FetchOptions options = options_;
    options.consumer = &consumer;
    if (unconditional_) {
        return answerOf(fetchBundle(bundle_.url, {}, bundle_.authorization, tls_verify_, options));
    }
    if (bundle_.options.use_last_modified.value_or(false)) {
        options.if_modified_since = state.last_modified;
    }
    return answerOf(fetchBundle(bundle_.url, ifNoneMatchFor(state), bundle_.authorization,
                                tls_verify_, options));
}

}  // namespace qs
