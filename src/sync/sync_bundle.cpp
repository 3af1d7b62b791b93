#include "sync/sync_bundle.hpp"

#include <new>
#include <optional>
#include <type_traits>

#include "http/proxy.hpp"
#include "log/log.hpp"
#include "platform/environment.hpp"
#include "platform/process_state.hpp"
#include "sync/chunked_source.hpp"
#include "sync/http_source.hpp"
#include "sync/install_hooks.hpp"
#include "sync/metadata_check.hpp"
#include "sync/payload_source.hpp"
#include "sync/streaming_install.hpp"
#include "sync/version.hpp"
#include "sync/version_pin.hpp"
#include "sync/version_store.hpp"

namespace qs {

namespace {

using log::Scope;

// One poll of `source` and the install of what it brings; with `announced`
// the payload its signed metadata names, checked against it (a chunked
// bundle's source checks the index the metadata names; the chunks are
// checked against the index).
template <class Source>
SyncOutcome cycle(const Bundle& bundle, BundleState& state, Source& source,
                  const BundleMetadata* announced = nullptr) {
    StreamingInstall streaming(bundle, state);
    if (announced != nullptr && !bundle.chunked) streaming.expectDigest(announced->sha256);
    streaming.fetchSignatureFirst(source.tlsVerify(), source.options());
    const PayloadAnswer answer = source.poll(state, streaming);
    switch (answer.kind) {
    case PayloadAnswer::Kind::unchanged:
        if (announced != nullptr) {
            // Asked for without validators: a 304 is no payload at all.
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: HTTP 304");
            return SyncOutcome::fetch_failed;
        }
        if (!state.refused_etag.empty() && state.refused_by_pin) {
            // The 304 answers the ETag of the payload the pin holds back.
            const auto pin = loadPin(bundle.target_dir);
            const auto held = deriveVersion(state.refused_etag);
            log::info(Scope::quillstead, "[", bundle.name, "] pinned to ",
                      pin ? shownVersion(*pin) : std::string_view("a kept version"), ": not installing ",
                      held ? std::string_view(*held) : std::string_view(state.refused_etag));
            return SyncOutcome::pinned;
        }
        if (!state.refused_etag.empty()) {
            // The 304 may answer the refused payload's ETag: what the
            // source offers is still the version pre_switch refused, and
            // the bundle is not where its source wants it.
            const auto refused = deriveVersion(state.refused_etag);
            log::warn(Scope::quillstead, "[", bundle.name, "] version ",
                      refused ? std::string_view(*refused) : std::string_view(state.refused_etag),
                      " still refused by pre_switch");
            return SyncOutcome::refused;
        }
        log::info(Scope::quillstead, "[", bundle.name, "] unchanged");
        return SyncOutcome::unchanged;
    case PayloadAnswer::Kind::failed:
        // Only a signature (or an index digest) that did not verify has its
        // own line already.
        if (answer.reported) return SyncOutcome::signature_failed;
        if (announced != nullptr && !bundle.chunked && answer.over_limit != 0 &&
            answer.over_limit == announced->size) {
            log::error(Scope::quillstead, "[", bundle.name,
                       "] fetch failed: payload over the size in its metadata");
        } else if (answer.over_limit != 0) {
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: payload over ",
                       answer.over_limit, " bytes");
        } else {
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: ", answer.reason);
        }
        return SyncOutcome::fetch_failed;
    case PayloadAnswer::Kind::new_payload: {
        const SyncOutcome outcome = streaming.finish(state, answer, source.tlsVerify(), source.options());
        // The payload the metadata names is live (its hook may have failed).
        if (announced != nullptr && (cycleSucceeded(outcome) || outcome == SyncOutcome::hook_failed)) {
            recordInstalledMetadata(bundle, *announced);
        }
        return outcome;
    }
    }
    return SyncOutcome::fetch_failed;
}

// The signed-metadata step before a poll of `source`: what the cycle came
// to when the step ends it, or nothing when the payload (or index) it
// names is to be fetched, with `source` told what to expect.
template <class Source>
std::optional<SyncOutcome> metadataStep(const Bundle& bundle, BundleState& state, Source& source,
                                        MetadataStep& step) {
    step = checkMetadata(bundle, state, source.tlsVerify(), source.options(), platform::wallClockSeconds());
    switch (step.kind) {
    case MetadataStep::Kind::fetch_failed: return SyncOutcome::fetch_failed;
    case MetadataStep::Kind::refused: return SyncOutcome::signature_failed;
    case MetadataStep::Kind::expired: return SyncOutcome::expired;
    case MetadataStep::Kind::unchanged:
        log::info(Scope::quillstead, "[", bundle.name, "] unchanged");
        return SyncOutcome::unchanged;
    case MetadataStep::Kind::fetch_payload: break;
    }
    if constexpr (std::is_same_v<Source, ChunkedPayloadSource>) {
        source.expectIndex(step.metadata.size, step.metadata.sha256);
    } else {
        source.expectPayload(step.metadata.size);
    }
    return std::nullopt;
}

}  // namespace

std::string_view outcomeWord(SyncOutcome outcome) {
    switch (outcome) {
    case SyncOutcome::unchanged: return "unchanged";
    case SyncOutcome::installed: return "installed";
    case SyncOutcome::fetch_failed: return "fetch_failed";
    case SyncOutcome::signature_failed: return "signature_failed";
    case SyncOutcome::refused: return "refused";
    case SyncOutcome::apply_failed: return "apply_failed";
    case SyncOutcome::hook_failed: return "hook_failed";
    case SyncOutcome::busy: return "busy";
    case SyncOutcome::expired: return "expired";
    case SyncOutcome::pinned: return "pinned";
    }
    return "apply_failed";
}

bool cycleSucceeded(SyncOutcome outcome) {
    return outcome == SyncOutcome::unchanged || outcome == SyncOutcome::installed ||
           outcome == SyncOutcome::pinned;
}

bool cycleGotNothingLive(SyncOutcome outcome) {
    return !cycleSucceeded(outcome) && outcome != SyncOutcome::hook_failed;
}

SyncOutcome syncBundle(const Bundle& bundle, BundleState& state, bool tls_verify) {
    cycleHooks() = HookTally{};
    try {
        const auto routes =
            proxyRoutes(bundle.options.proxy, bundle.options.no_proxy, platform::environmentVariable);
        if (!routes) {
            log::error(Scope::http, "invalid proxy: ", routes.error());
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: invalid proxy");
            return SyncOutcome::fetch_failed;
        }
        // An unpinned bundle wants the payload its pin held back.
        if (state.refused_by_pin && !loadPin(bundle.target_dir)) {
            state.refused_etag.clear();
            state.refused_by_pin = false;
        }
        // With signed metadata the payload (a chunked bundle's index) is
        // asked for only when the metadata, checked first, names one that
        // is not live.
        MetadataStep step;
        const bool announced = bundle.options.metadata_url.has_value();
        if (bundle.chunked) {
            ChunkedPayloadSource source(bundle, *routes, tls_verify);
            if (announced) {
                if (const auto ended = metadataStep(bundle, state, source, step)) return *ended;
            }
            const SyncOutcome outcome = cycle(bundle, state, source, announced ? &step.metadata : nullptr);
            // A failed post_sync leaves the version live all the same.
            if (outcome == SyncOutcome::installed || outcome == SyncOutcome::hook_failed) {
                source.keepInstalled(state);
            }
            return outcome;
        }
        HttpSource source(bundle, *routes, tls_verify);
        if (!announced) return cycle(bundle, state, source);
        if (const auto ended = metadataStep(bundle, state, source, step)) return *ended;
        return cycle(bundle, state, source, &step.metadata);
    } catch (const std::bad_alloc&) {
        // A cycle that runs out of memory is tried again at the next
        // interval, like any other failed cycle; the agent stays up.
        log::error(Scope::quillstead, "[", bundle.name, "] bundle apply failed: ", Error::OutOfMemory);
    }
    return SyncOutcome::apply_failed;
}

}  // namespace qs
