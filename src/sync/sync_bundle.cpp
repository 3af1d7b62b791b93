#include "sync/sync_bundle.hpp"

#include <new>

#include "http/proxy.hpp"
#include "log/log.hpp"
#include "platform/environment.hpp"
#include "sync/apply_bundle.hpp"
#include "sync/etag_store.hpp"
#include "sync/fetch_bundle.hpp"
#include "sync/payload_record.hpp"
#include "sync/signature_check.hpp"
#include "sync/version.hpp"
#include "tls/digest.hpp"

namespace qs {

namespace {

using log::Scope;

// What the records of an installed (or identical) payload keep besides its
// ETag: its digest while skip_identical is on (and no stale one while it is
// off, so that turning it on again never matches a payload no longer
// live), and its Last-Modified when the server sent no ETag.
void recordPayload(const Bundle& bundle, BundleState& state, const FetchResult& fetched) {
    saveEtag(bundle.target_dir, state, fetched.etag,
             bundle.options.durable.value_or(false) ? Durability::flushed : Durability::plain);
    const bool skip_identical = bundle.options.skip_identical.value_or(false);
    savePayloadRecord(bundle, state, PayloadRecord::digest,
                      skip_identical && fetched.digest ? hexDigest(*fetched.digest) : std::string());
    if (bundle.options.use_last_modified.value_or(false)) {
        savePayloadRecord(bundle, state, PayloadRecord::last_modified,
                          fetched.etag.empty() ? std::string_view(fetched.last_modified)
                                               : std::string_view{});
    }
}

SyncOutcome install(const Bundle& bundle, BundleState& state, const FetchResult& fetched,
                    bool tls_verify, const FetchOptions& options) {
    // Nothing of an unverified payload is used, not even its ETag as a
    // version name, nor its digest to call it identical.
    if (bundle.public_key && !checkSignature(bundle, state, fetched.body.view(), tls_verify, options))
        return SyncOutcome::failed;
    if (bundle.options.skip_identical.value_or(false) && fetched.digest &&
        !state.payload_digest.empty() && hexDigest(*fetched.digest) == state.payload_digest) {
        // Servers of one farm may give the same file different ETags: the
        // payload is what is live already, so nothing is installed and the
        // hook does not run; the new ETag makes the next poll a 304 again.
        log::info(Scope::quillstead, "[", bundle.name, "] unchanged (same payload, new etag)");
        recordPayload(bundle, state, fetched);
        return SyncOutcome::unchanged;
    }
    const auto version = deriveVersion(fetched.etag);
    if (!version) {
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", version.error());
        return SyncOutcome::failed;
    }
    log::info(Scope::quillstead, "[", bundle.name, "] new version: ", *version, " (",
              fetched.body.size(), " bytes)");
    state.status.bytes = fetched.body.size();
    if (!ensureTargetDir(bundle)) return SyncOutcome::failed;
    if (auto applied = applyBundle(bundle, *version, fetched.body.view(), fetched.etag); !applied) {
        if (applied.error() == Error::PreSwitchRefused) {
            // Logged with its reason already. Remembered so that the next
            // polls ask for something else than this payload.
            state.refused_etag = fetched.etag;
            return SyncOutcome::failed;
        }
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", applied.error());
        return SyncOutcome::failed;
    }
    state.refused_etag.clear();
    recordPayload(bundle, state, fetched);
    state.status.version = *version;
    return SyncOutcome::installed;
}

// If-None-Match takes a list: the installed payload's ETag and a refused
// one both answer 304 while the server still offers them.
std::string conditionFor(const BundleState& state) {
    if (state.refused_etag.empty() || state.refused_etag == state.etag) return state.etag;
    if (state.etag.empty()) return state.refused_etag;
    return state.etag + ", " + state.refused_etag;
}

}  // namespace

SyncOutcome syncBundle(const Bundle& bundle, BundleState& state, bool tls_verify) {
    try {
        const auto routes =
            proxyRoutes(bundle.options.proxy, bundle.options.no_proxy, platform::environmentVariable);
        if (!routes) {
            log::error(Scope::http, "invalid proxy: ", routes.error());
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: invalid proxy");
            return SyncOutcome::failed;
        }
        FetchOptions options;
        options.proxy = &*routes;
        options.digest = bundle.options.skip_identical.value_or(false);
        if (bundle.options.use_last_modified.value_or(false)) {
            options.if_modified_since = state.last_modified;
        }
        options.limits.connect_seconds = bundle.options.connect_timeout.value_or(0);
        options.limits.io_seconds = bundle.options.io_timeout.value_or(0);
        options.limits.total_seconds = bundle.options.max_fetch_time.value_or(0);
        options.max_body_bytes = bundle.options.max_payload_bytes;
        const FetchResult result =
            fetchBundle(bundle.url, conditionFor(state), bundle.authorization, tls_verify, options);
        switch (result.kind) {
        case FetchResult::Kind::not_modified:
            log::info(Scope::quillstead, "[", bundle.name, "] unchanged");
            return SyncOutcome::unchanged;
        case FetchResult::Kind::failed:
            if (result.over_limit != 0) {
                log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: payload over ",
                           result.over_limit, " bytes");
            } else {
                log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: ", result.reason);
            }
            return SyncOutcome::failed;
        case FetchResult::Kind::fetched:
            return install(bundle, state, result, tls_verify, options);
        }
    } catch (const std::bad_alloc&) {
        // A cycle that runs out of memory is tried again at the next
        // interval, like any other failed cycle; the agent stays up.
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", Error::OutOfMemory);
    }
    return SyncOutcome::failed;
}

}  // namespace qs
