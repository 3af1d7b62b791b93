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

void install(const Bundle& bundle, BundleState& state, const FetchResult& fetched) {
    const auto version = deriveVersion(fetched.etag);
    if (!version) {
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", version.error());
        return;
    }
    log::info(Scope::quillstead, "[", bundle.name, "] new version: ", *version, " (",
              fetched.body.size(), " bytes)");
    if (!ensureTargetDir(bundle)) return;
    if (auto applied = applyBundle(bundle, *version, fetched.body.view()); !applied) {
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", applied.error());
        return;
    }
    saveEtag(bundle.target_dir, state, fetched.etag);
}

}  // namespace

void syncBundle(const Bundle& bundle, BundleState& state, bool tls_verify) {
    try {
        const FetchResult result =
            fetchBundle(bundle.url, state.etag, bundle.authorization, tls_verify);
        switch (result.kind) {
        case FetchResult::Kind::not_modified:
            log::info(Scope::quillstead, "[", bundle.name, "] unchanged");
            return;
        case FetchResult::Kind::failed:
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: ", result.reason);
            return;
        case FetchResult::Kind::fetched:
            install(bundle, state, result);
            return;
        }
    } catch (const std::bad_alloc&) {
        // A cycle that runs out of memory is tried again at the next
        // interval, like any other failed cycle; the agent stays up.
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", Error::OutOfMemory);
    }
}

}  // namespace qs
