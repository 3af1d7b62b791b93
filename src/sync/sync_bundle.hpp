#pragma once
// One sync cycle of one bundle: conditional GET, install, hook, ETag record.

#include <iterator>
#include <string_view>

#include "config/config.hpp"
#include "sync/bundle_state.hpp"

namespace qs {

// How a cycle ended, for callers that schedule or report by it; the log
// lines of the cycle say the rest.
enum class SyncOutcome {
    unchanged,         // nothing new: a 304, or a payload identical to the live one
    installed,         // a new payload is live and its ETag recorded
    fetch_failed,      // the payload (or a part of it) did not arrive whole
    signature_failed,  // the payload arrived but its signature is missing or wrong
    refused,           // pre_switch refused the new version, and the source still offers it
    apply_failed,      // the payload arrived and checked out, but could not be put in place
    hook_failed,       // installed and live, but post_sync failed or ran out of time
    busy,              // another process was installing into the same place
    expired,           // the signed metadata ran out: the live version stays, the bundle is failing
    pinned,            // a new payload is offered, but an operator pinned the bundle: nothing installed
};

// The outcome's word in status records, `status` and the metrics:
// "unchanged", "installed", "fetch_failed", ...
[[nodiscard]] std::string_view outcomeWord(SyncOutcome outcome);

// Every outcome, in the order of the enumeration, for tables that list
// them all.
inline constexpr SyncOutcome kSyncOutcomes[] = {
    SyncOutcome::unchanged,    SyncOutcome::installed,   SyncOutcome::fetch_failed,
    SyncOutcome::signature_failed, SyncOutcome::refused, SyncOutcome::apply_failed,
    SyncOutcome::hook_failed,  SyncOutcome::busy,        SyncOutcome::expired,
    SyncOutcome::pinned,
};

static_assert(std::size(kSyncOutcomes) == kSyncOutcomeCount);

// Whether the bundle is where it should be after the cycle: unchanged,
// installed, or held on the version an operator pinned. Every other outcome
// wants an operator's eye.
[[nodiscard]] bool cycleSucceeded(SyncOutcome outcome);

// Whether the next poll should come later than usual (retry_backoff): the
// cycle got nothing live. A failed post_sync does not count: its version
// is live, and polling sooner would not run the hook again.
[[nodiscard]] bool cycleGotNothingLive(SyncOutcome outcome);

// Polls the bundle's URL once and installs a new payload if there is one.
// Reports everything through its own log lines.
SyncOutcome syncBundle(const Bundle& bundle, BundleState& state, bool tls_verify);

}  // namespace qs
