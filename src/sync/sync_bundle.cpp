#include "sync/sync_bundle.hpp"

#include <new>
#include <optional>

#include "http/proxy.hpp"
#include "log/log.hpp"
#include "platform/environment.hpp"
#include "platform/process_state.hpp"
#include "sync/chunked_source.hpp"
#include "sync/http_source.hpp"
#include "sync/metadata_check.hpp"
#include "sync/payload_source.hpp"
#include "sync/streaming_install.hpp"

namespace qs {

namespace {

using log::Scope;

// One poll of `source` and the install of what it brings; with `announced`
// the payload its signed metadata names, checked against it.
template <class Source>
SyncOutcome cycle(const Bundle& bundle, BundleState& state, Source& source,
                  const BundleMetadata* announced = nullptr) {
    StreamingInstall streaming(bundle);
    if (announced != nullptr) streaming.expectDigest(announced->sha256);
    const PayloadAnswer answer = source.poll(state, streaming);
    switch (answer.kind) {
    case PayloadAnswer::Kind::unchanged:
        if (announced != nullptr) {
            // Asked for without validators: a 304 is no payload at all.
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: HTTP 304");
            return SyncOutcome::failed;
        }
        log::info(Scope::quillstead, "[", bundle.name, "] unchanged");
        return SyncOutcome::unchanged;
    case PayloadAnswer::Kind::failed:
        if (answer.reported) return SyncOutcome::failed;
        if (announced != nullptr && answer.over_limit != 0 && answer.over_limit == announced->size) {
            log::error(Scope::quillstead, "[", bundle.name,
                       "] fetch failed: payload over the size in its metadata");
        } else if (answer.over_limit != 0) {
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: payload over ",
                       answer.over_limit, " bytes");
        } else {
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: ", answer.reason);
        }
        return SyncOutcome::failed;
    case PayloadAnswer::Kind::new_payload: {
        const SyncOutcome outcome = streaming.finish(state, answer, source.tlsVerify(), source.options());
        if (announced != nullptr && outcome != SyncOutcome::failed) recordInstalledMetadata(bundle, *announced);
        return outcome;
    }
    }
    return SyncOutcome::failed;
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
        if (bundle.chunked) {
            // A chunked payload's index is checked by its own signature;
            // metadata that is not checked must not look as if it were.
            if (bundle.options.metadata_url) {
                log::error(Scope::quillstead, "[", bundle.name,
                           "] fetch failed: metadata_url is not used with format = chunked");
                return SyncOutcome::failed;
            }
            ChunkedPayloadSource source(bundle, *routes, tls_verify);
            const SyncOutcome outcome = cycle(bundle, state, source);
            if (outcome == SyncOutcome::installed) source.keepInstalled(state);
            return outcome;
        }
        HttpSource source(bundle, *routes, tls_verify);
        if (!bundle.options.metadata_url) return cycle(bundle, state, source);
        // With signed metadata the payload is asked for only when the
        // metadata, checked first, names one that is not live.
        MetadataStep step = checkMetadata(bundle, state, source.tlsVerify(), source.options(),
                                          platform::wallClockSeconds());
        switch (step.kind) {
        case MetadataStep::Kind::failed: return SyncOutcome::failed;
        case MetadataStep::Kind::expired: return SyncOutcome::expired;
        case MetadataStep::Kind::unchanged:
            log::info(Scope::quillstead, "[", bundle.name, "] unchanged");
            return SyncOutcome::unchanged;
        case MetadataStep::Kind::fetch_payload: break;
        }
        source.expectPayload(step.metadata.size);
        return cycle(bundle, state, source, &step.metadata);
    } catch (const std::bad_alloc&) {
        // A cycle that runs out of memory is tried again at the next
        // interval, like any other failed cycle; the agent stays up.
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", Error::OutOfMemory);
    }
    return SyncOutcome::failed;
}

}  // namespace qs
