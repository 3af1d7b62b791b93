#include "sync/metadata_check.hpp"

#include <new>
#include <string>

#include "log/log.hpp"
#include "sync/signature_check.hpp"
#include "tls/signature.hpp"

namespace qs {

namespace {

using log::Scope;

std::string_view expectedName(const Bundle& bundle) {
    return bundle.options.metadata_name ? std::string_view(*bundle.options.metadata_name)
                                        : std::string_view(bundle.name);
}

MetadataStep ended(MetadataStep::Kind kind) {
    MetadataStep step;
    step.kind = kind;
    return step;
}

// Fetches and verifies a new metadata file, or keeps the one verified
// before when the server says it has not changed. After the failure line,
// how it failed; nothing when a verified file is at hand.
std::optional<MetadataStep::Kind> refreshMetadata(const Bundle& bundle, BundleState& state, bool tls_verify,
                     const FetchOptions& payload_options) {
    const auto urls = metadataUrlsFor(bundle);
    if (!urls) {
        log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: metadata URL invalid: ", urls.error());
        return MetadataStep::Kind::fetch_failed;
    }
    FetchOptions options;
    options.proxy = payload_options.proxy;
    options.limits = payload_options.limits;
    // The payload's CA file, client certificate and profile: the metadata
    // is on the payload's side of the trust the operator set up.
    options.tls = payload_options.tls;
    options.max_body_bytes = kMaxMetadataBytes;
    // Validators only for a file that verified: a refused or lost one is
    // asked for whole again.
    const bool have = state.metadata.has_value();
    if (have) options.if_modified_since = state.metadata_last_modified;
    FetchResult fetched =
        fetchBundle(urls->metadata, have ? std::string_view(state.metadata_etag) : std::string_view{},
                    bundle.authorization, tls_verify, options);
    switch (fetched.kind) {
    case FetchResult::Kind::not_modified:
        if (have) return std::nullopt;
        log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: metadata HTTP 304 without a request for it");
        return MetadataStep::Kind::fetch_failed;
    case FetchResult::Kind::failed:
        if (fetched.over_limit != 0) {
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: metadata over ",
                       fetched.over_limit, " bytes");
        } else {
            log::error(Scope::quillstead, "[", bundle.name, "] fetch failed: metadata ", fetched.reason);
        }
        return MetadataStep::Kind::fetch_failed;
    case FetchResult::Kind::fetched: break;
    }

    const auto signature = fetchSignatureAt(bundle, state, urls->signature, tls_verify, payload_options);
    if (!signature) return MetadataStep::Kind::refused;
    const auto verified = verifyWithAnyKey(*signature, fetched.body.view());
    if (!verified) {
        log::error(Scope::quillstead, "[", bundle.name, "] signature check failed: metadata ", verified.error());
        return MetadataStep::Kind::refused;
    }
    log::info(Scope::quillstead, "[", bundle.name, "] metadata signature verified (",
              keyAlgorithmName(*verified), ")");
    auto parsed = parseBundleMetadata(fetched.body.view());
    if (!parsed) {
        log::error(Scope::quillstead, "[", bundle.name, "] metadata refused: ", parsed.error());
        return MetadataStep::Kind::refused;
    }
    state.metadata = std::move(*parsed);
    state.metadata_etag = std::move(fetched.etag);
    state.metadata_last_modified = std::move(fetched.last_modified);
    return std::nullopt;
}

}  // namespace

Result<MetadataUrls> metadataUrlsFor(const Bundle& bundle) {
    MetadataUrls urls;
    QS_TRY_ASSIGN(urls.metadata, signatureUrlFor(bundle.url, bundle.options.metadata_url));
    QS_TRY_ASSIGN(urls.signature, signatureUrlFor(urls.metadata, bundle.options.metadata_signature_url));
    return urls;
}

MetadataStep checkMetadata(const Bundle& bundle, BundleState& state, bool tls_verify,
                           const FetchOptions& payload_options, std::int64_t now) {
    if (const auto failed = refreshMetadata(bundle, state, tls_verify, payload_options)) return ended(*failed);
    const BundleMetadata& metadata = *state.metadata;

    // Another bundle's (or staging's) signed payload is still signed.
    if (metadata.bundle != expectedName(bundle)) {
        log::error(Scope::quillstead, "[", bundle.name, "] metadata refused: bundle '", metadata.bundle,
                   "' is not '", expectedName(bundle), "'");
        return ended(MetadataStep::Kind::refused);
    }
    const SerialRecord record = loadSerialRecord(bundle.target_dir);
    const std::optional<SerialEntry> live = liveEntry(bundle, record);
    if (live && metadata.serial < live->serial) {
        log::error(Scope::quillstead, "[", bundle.name, "] metadata refused: serial ", metadata.serial,
                   " is older than the installed ", live->serial);
        return ended(MetadataStep::Kind::refused);
    }
    if (live && metadata.serial == live->serial && metadata.sha256 != live->sha256) {
        log::error(Scope::quillstead, "[", bundle.name, "] metadata refused: serial ", metadata.serial,
                   " names another payload than the installed one");
        return ended(MetadataStep::Kind::refused);
    }
    // Checked on every poll, a 304 included: a server that stops
    // publishing (or a mirror frozen in time) shows as a failing bundle
    // once the last signed promise runs out, while the live version stays.
    if (metadata.expires <= now) {
        log::error(Scope::quillstead, "[", bundle.name, "] metadata expired at ",
                   formatUtcTime(metadata.expires));
        state.status.metadata_expired = true;
        return ended(MetadataStep::Kind::expired);
    }
    state.status.metadata_expired = false;
    state.status.metadata_expires = metadata.expires;
    if (live && metadata.sha256 == live->sha256) {
        // The same payload published again under a later serial: nothing
        // to fetch, but the bar rises with it.
        if (metadata.serial > live->serial) recordInstalledMetadata(bundle, metadata);
        return ended(MetadataStep::Kind::unchanged);
    }
    // Behind the highest serial ever installed only after a rollback: the
    // operator's choice stands until a newer publication than the one
    // rolled back from.
    if (metadata.serial <= record.highest) {
        log::info(Scope::quillstead, "[", bundle.name, "] keeping the rolled-back version: serial ",
                  metadata.serial, " is not above the highest installed ", record.highest);
        return ended(MetadataStep::Kind::unchanged);
    }
    MetadataStep step;
    step.kind = MetadataStep::Kind::fetch_payload;
    step.metadata = metadata;
    return step;
}

void recordInstalledMetadata(const Bundle& bundle, const BundleMetadata& metadata) {
    try {
        SerialRecord record = loadSerialRecord(bundle.target_dir);
        recordLive(record, SerialEntry{metadata.serial, metadata.sha256, liveName(bundle)});
        if (auto saved = saveSerialRecord(bundle.target_dir, record, bundle.options.durable.value_or(false));
            !saved) {
            log::warn(Scope::bundle, "failed to save serial record in ", bundle.target_dir, ": ", saved.error());
        }
    } catch (const std::bad_alloc&) {
        log::warn(Scope::bundle, "failed to save serial record in ", bundle.target_dir, ": ",
                  Error::OutOfMemory);
    }
}

}  // namespace qs
