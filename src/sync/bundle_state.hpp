#pragma once
// What the agent knows about each bundle while it runs: the validators the
// next poll sends, the records' places, and what its cycles came to. The
// configuration says what a bundle is; this says where it stands.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/bundle_metadata.hpp"

namespace qs {

// How many ways a cycle can end (SyncOutcome).
inline constexpr std::size_t kSyncOutcomeCount = 10;

// What the cycles of one bundle came to, for its status record in
// state_dir and the metrics file. The sync cycle sets `version` and
// `bytes`; the agent core keeps the rest.
struct BundleStatus {
    // Unix seconds; 0 means never.
    std::int64_t last_attempt = 0;
    std::int64_t last_success = 0;
    // The last cycle's outcome in one word ("installed", "refused", ...);
    // empty before the first cycle.
    std::string result;
    // Cycles in a row that ended in anything but unchanged or installed.
    std::uint32_t consecutive_failures = 0;
    // Why the last cycle did not end well; absent after a good one.
    std::optional<std::string> last_error;
    // The version live in target_dir, as far as the agent knows; empty when
    // it does not.
    std::string version;
    // Unix seconds when that version went live; 0 when not known.
    std::int64_t live_since = 0;
    // Body bytes of the last download and the time the last cycle took.
    std::uint64_t bytes = 0;
    std::uint64_t duration_ms = 0;
    // A chunked bundle: the bytes its chunk cache holds after the last
    // install; absent for other bundles and before the first one.
    std::optional<std::uint64_t> chunk_cache_bytes;
    // Counted since start-up, for the metrics file: cycles by outcome (in
    // the order of SyncOutcome), hook runs by hook and how they ended, and
    // payload bytes.
    std::array<std::uint64_t, kSyncOutcomeCount> cycles{};
    std::uint64_t post_sync_ok = 0;
    std::uint64_t post_sync_failed = 0;
    std::uint64_t pre_switch_ok = 0;
    std::uint64_t pre_switch_refused = 0;
    std::uint64_t bytes_downloaded_total = 0;
    // Why the settings the configuration file now gives the bundle cannot
    // be used; it runs on its previous ones meanwhile and counts as failing
    // until a reload brings settings it can use. Absent: they are in force.
    std::optional<std::string> settings_error;
    // metadata_url: whether the last cycle found the metadata past its
    // expiry, and the expiry of the last one accepted (0: none).
    bool metadata_expired = false;
    std::int64_t metadata_expires = 0;
};

// The per-bundle runtime record, one per bundle, same order, alive from
// start-up to exit.
struct BundleState {
    // The ETag to send as If-None-Match; empty means none.
    std::string etag;
    // Wall-clock seconds of the pass that last polled the bundle; 0: never.
    std::int64_t last_poll = 0;
    BundleStatus status;
    // skip_identical: hex SHA-256 of the payload installed last; empty: unknown.
    std::string payload_digest;
    // use_last_modified: the Last-Modified of the payload installed last,
    // sent as If-Modified-Since while there is no ETag; empty: none.
    std::string last_modified;
    // Where those two are recorded: this prefix followed by "digest" or
    // "last-modified". Empty: beside the ETag record, "{target_dir}/.".
    std::string record_prefix;
    // For a bundle with poll_jitter or retry_backoff, owned by the poll loop:
    // the wall-clock millisecond from which it is due (0: not planned yet),
    // and its failed cycles in a row since the last good one.
    std::int64_t next_poll_ms = 0;
    std::uint32_t failures = 0;
    // The texts of the public_key files, read once at start-up like the
    // rest of the configuration; none without a key.
    std::vector<std::string> public_keys;
    // The ETag of a payload pre_switch refused, sent beside `etag` so that
    // the same payload is not downloaded again; empty: none. Not kept
    // across restarts.
    std::string refused_etag;
    // metadata_url: the last metadata file that verified, with the ETag and
    // Last-Modified it came with, sent when it is asked for again. Not kept
    // across restarts: the first poll after one fetches it whole.
    std::optional<BundleMetadata> metadata;
    std::string metadata_etag;
    std::string metadata_last_modified;
    // refused_etag was held back by a pin, not by pre_switch: once the pin
    // is gone the payload is wanted again.
    bool refused_by_pin = false;
};

}  // namespace qs
