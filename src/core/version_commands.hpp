#pragma once
// "versions", "rollback", "pin" and "unpin": what a versioned bundle keeps
// below its target_dir, switching `current` back to one of those versions,
// and keeping it there. They read the configuration only for the bundle's
// target_dir and keys; none touches the network or the ETag record, so a
// running agent keeps the rolled-back version until its server publishes a
// new payload (or, pinned, until it is unpinned).

#include "core/commands.hpp"

namespace qs {

// "versions BUNDLE": one line per kept version on standard output, newest
// switch first, the live one marked "* " and the others indented by two
// blanks. 0, or 1 when the bundle is unknown or the configuration unusable.
[[nodiscard]] int runVersions(const Invocation& invocation);

// "rollback BUNDLE [VERSION] [--no-hooks]": with the bundle's lock held,
// switches `current` to VERSION (with or without its "v"), or to the kept
// version switched to just before the live one, running pre_switch and
// post_sync unless --no-hooks, and prints "[{bundle}] current -> {new} (was
// {old})" with names as `versions` shows them. 0 when switched; 1 when there
// is nothing to roll back to, the version is not kept, pre_switch refused,
// the bundle is unknown or the configuration unusable.
[[nodiscard]] int runRollback(const Invocation& invocation);

// "pin BUNDLE VERSION": switches to the kept version as rollback does when
// it is not live, then records the pin beside `.versions`; the agent then
// polls and reports but installs nothing new. "unpin BUNDLE" removes the
// pin. 0, or 1 when the bundle or version is unknown or not versioned.
[[nodiscard]] int runPin(const Invocation& invocation);
[[nodiscard]] int runUnpin(const Invocation& invocation);

}  // namespace qs
