#include "sync/sync_bundle.hpp"

namespace qs {

// Stands in until the fetch and install chain is wired up: a cycle that
// finds nothing to do.
void syncBundle(const Bundle&, BundleState&, bool) {}

}  // namespace qs
