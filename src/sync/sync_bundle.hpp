#pragma once
// One sync cycle of one bundle: conditional GET, install, hook, ETag record.

#include "config/config.hpp"

namespace qs {

// Polls the bundle's URL once and installs a new payload if there is one.
// Reports everything through its own log lines; a failed cycle is simply
// tried again one poll interval later.
void syncBundle(const Bundle& bundle, BundleState& state, bool tls_verify);

}  // namespace qs
