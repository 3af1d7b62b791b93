#include "sync/sync_bundle.hpp"

#include <new>

#include "http/proxy.hpp"
#include "log/log.hpp"
#include "platform/environment.hpp"
#include "sync/chunked_source.hpp"
#include "sync/http_source.hpp"
#include "sync/payload_source.hpp"
#include "sync/streaming_install.hpp"

namespace qs {

namespace {

using log::Scope;

// One poll of `source` and the install of what it brings.
template <class Source>
SyncOutcome cycle(const Bundle& bundle, BundleState& state, Source& source) {
    StreamingInstall streaming(bundle);
    const PayloadAnswer answer = source.poll(state, streaming);
    switch (answer.kind) {
    case PayloadAnswer::Kind::unchanged:
        log::info(Scope::quillstead, "[", bundle.name, "] unchanged");
        return SyncOutcome::unchanged;
    case PayloadAnswer::Kind::failed:
        if (answer.reported) return SyncOutcome::failed;
        if (answer.over_limit != 0) {
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: payload over ",
                       answer.over_limit, " bytes");
        } else {
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: ", answer.reason);
        }
        return SyncOutcome::failed;
    case PayloadAnswer::Kind::new_payload:
        return streaming.finish(state, answer, source.tlsVerify(), source.options());
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
            ChunkedPayloadSource source(bundle, *routes, tls_verify);
            const SyncOutcome outcome = cycle(bundle, state, source);
            if (outcome == SyncOutcome::installed) source.keepInstalled(state);
            return outcome;
        }
        HttpSource source(bundle, *routes, tls_verify);
        return cycle(bundle, state, source);
    } catch (const std::bad_alloc&) {
        // A cycle that runs out of memory is tried again at the next
        // interval, like any other failed cycle; the agent stays up.
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", Error::OutOfMemory);
    }
    return SyncOutcome::failed;
}

}  // namespace qs
