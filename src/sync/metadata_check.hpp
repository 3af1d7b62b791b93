#pragma once
// The signed-metadata step that starts every poll of a bundle with
// metadata_url: the metadata file fetched (conditionally, with validators of
// its own), its signature checked with the bundle's keys, and what it says
// held against what is live, before the payload is asked for at all.

#include <cstdint>
#include <optional>

#include "config/config.hpp"
#include "formats/bundle_metadata.hpp"
#include "sync/bundle_state.hpp"
#include "sync/fetch_bundle.hpp"
#include "sync/serial_record.hpp"

namespace qs {

struct MetadataStep {
    enum class Kind {
        // The metadata names a payload that is not live: fetch it, bounded
        // by its size, and install it only when its digest matches.
        fetch_payload,
        // What the metadata names is live, or the bundle waits past an
        // operator's rollback: nothing to fetch.
        unchanged,
        // Logged already: the metadata or its signature did not arrive.
        fetch_failed,
        // Logged already: a missing or bad signature, or a file whose
        // bundle, serial or form is refused.
        refused,
        // Logged already: the metadata (new or unchanged) is past its expiry.
        expired,
    };
    Kind kind = Kind::fetch_failed;
    BundleMetadata metadata;
};

// Where the metadata and its signature are: metadata_url resolved against
// the bundle's url, and metadata_signature_url (or that URL + ".sig")
// resolved against it. Errors: those of signatureUrlFor.
struct MetadataUrls {
    std::string metadata;
    std::string signature;
};
[[nodiscard]] Result<MetadataUrls> metadataUrlsFor(const Bundle& bundle);

// One metadata step at wall-clock second `now`. `payload_options` give the
// proxy and time limits of the payload's own fetch. Keeps the verified
// metadata and its validators in `state` for the next poll's conditional
// request. Lines:
//   "[name] fetch failed: metadata {reason}"
//   "[name] signature check failed: metadata error.X"
//   "[name] metadata refused: error.X" (a file that does not parse)
//   "[name] metadata refused: bundle 'x' is not 'site'"
//   "[name] metadata refused: serial S is older than the installed T"
//   "[name] metadata refused: serial S names another payload than the installed one"
//   "[name] metadata expired at {time}"
//   "[name] keeping the rolled-back version: serial S is not above the highest installed H"
[[nodiscard]] MetadataStep checkMetadata(const Bundle& bundle, BundleState& state, bool tls_verify,
                                         const FetchOptions& payload_options, std::int64_t now);

// After the payload `metadata` names went live (or was found live already):
// records its serial and digest for the live version. Logs a warning when
// the record cannot be written.
void recordInstalledMetadata(const Bundle& bundle, const BundleMetadata& metadata);

}  // namespace qs
