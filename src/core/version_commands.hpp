#pragma once
// "versions" and "rollback": what a versioned bundle keeps below its
// target_dir, and switching `current` back to one of those versions. Both
// read the configuration only for the bundle's target_dir and keys; neither
// touches the network or the ETag record, so a running agent keeps the
// rolled-back version until its server publishes a new payload.

#include "core/commands.hpp"

namespace qs {

// "versions BUNDLE": one line per kept version on standard output, newest
// switch first, the live one marked "* " and the others indented by two
// blanks. 0, or 1 when the bundle is unknown or the configuration unusable.
[[nodiscard]] int runVersions(const Invocation& invocation);

// "rollback BUNDLE [VERSION]": switches `current` to v{VERSION}, or to the
// kept version switched to just before the live one, and prints
// "[{bundle}] current -> {new} (was {old})". 0 when switched; 1 when there is
// nothing to roll back to, the version is not kept, the bundle is unknown or
// the configuration unusable.
[[nodiscard]] int runRollback(const Invocation& invocation);

}  // namespace qs
