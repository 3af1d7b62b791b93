#include "sync/sync_bundle.hpp"

#include <new>

#include "log/log.hpp"
#include "sync/apply_bundle.hpp"
#include "sync/etag_store.hpp"
#include "sync/fetch_bundle.hpp"
#include "sync/version.hpp"

namespace qs {

namespace {

using log::Scope;

SyncOutcome install(const Bundle& bundle, BundleState& state, const FetchResult& fetched) {
    const auto version = deriveVersion(fetched.etag);
    if (!version) {
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", version.error());
        return SyncOutcome::failed;
    }
    log::info(Scope::quillstead, "[", bundle.name, "] new version: ", *version, " (",
              fetched.body.size(), " bytes)");
    state.status.bytes = fetched.body.size();
    if (!ensureTargetDir(bundle)) return SyncOutcome::failed;
    if (auto applied = applyBundle(bundle, *version, fetched.body.view()); !applied) {
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", applied.error());
        return SyncOutcome::failed;
    }
    saveEtag(bundle.target_dir, state, fetched.etag);
    state.status.version = *version;
    return SyncOutcome::installed;
}

}  // namespace

SyncOutcome syncBundle(const Bundle& bundle, BundleState& state, bool tls_verify) {
    try {
        const FetchResult result =
            fetchBundle(bundle.url, state.etag, bundle.authorization, tls_verify);
        switch (result.kind) {
        case FetchResult::Kind::not_modified:
            log::info(Scope::quillstead, "[", bundle.name, "] unchanged");
            return SyncOutcome::unchanged;
        case FetchResult::Kind::failed:
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: ", result.reason);
            return SyncOutcome::failed;
        case FetchResult::Kind::fetched:
            return install(bundle, state, result);
        }
    } catch (const std::bad_alloc&) {
        // A cycle that runs out of memory is tried again at the next
        // interval, like any other failed cycle; the agent stays up.
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", Error::OutOfMemory);
    }
    return SyncOutcome::failed;
}

}  // namespace qs
