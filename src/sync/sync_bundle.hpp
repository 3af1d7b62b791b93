#pragma once
// One sync cycle of one bundle: conditional GET, install, hook, ETag record.

#include "config/config.hpp"
#include "sync/bundle_state.hpp"

namespace qs {

// How a cycle ended, for callers that schedule or report by it; the log
// lines of the cycle say the rest.
enum class SyncOutcome {
    unchanged,  // 304: nothing to do
    installed,  // a new payload is in place and its ETag recorded (a failed hook included)
    failed,     // nothing new is in place; the next cycle tries again
    busy,       // another process held the target's lock: not polled this time
    expired,    // the signed metadata ran out: the live version stays, the bundle is failing
};

// Polls the bundle's URL once and installs a new payload if there is one.
// Reports everything through its own log lines.
SyncOutcome syncBundle(const Bundle& bundle, BundleState& state, bool tls_verify);

}  // namespace qs
