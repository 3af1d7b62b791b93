#pragma once
// Installing a downloaded payload below a bundle's target_dir: as one raw
// file, by extraction straight into target_dir, or by extraction into a
// version directory "v{version}" followed by an atomic switch of the
// `current` link.

#include <string_view>

#include "config/config.hpp"
#include "util/error.hpp"

namespace qs {

// mkdir(target_dir): one level, an existing entry of any kind accepted.
// Logs its own failure line.
[[nodiscard]] Result<void> ensureTargetDir(const Bundle& bundle);

// Installs `body` as the bundle's format and mode say: raw whatever the mode,
// else direct or versioned. Logs every failure except the caller's summary;
// a failed post_sync hook or a failed removal of the previous version still
// returns success. `version` is a name from deriveVersion, `etag` the
// payload's ETag (both for the hooks' environment). With the bundle's
// `durable` key the new files reach stable storage before success.
[[nodiscard]] Result<void> applyBundle(const Bundle& bundle, std::string_view version,
                                       std::string_view body, std::string_view etag = {});

// target_dir/filename written in place (no temporary file). ConfigError
// without a filename, CreateFileFailed, WriteFailed, OutOfMemory.
[[nodiscard]] Result<void> applyRaw(const Bundle& bundle, std::string_view body,
                                    std::string_view version = {}, std::string_view etag = {});

// The archive extracted into target_dir itself; on failure the files
// written so far stay. Errors as extractArchive.
[[nodiscard]] Result<void> applyDirect(const Bundle& bundle, std::string_view body,
                                       std::string_view version = {}, std::string_view etag = {});

// The archive extracted into a staging directory of target_dir, renamed to
// v{version} once complete, checked by pre_switch, then `current` switched
// to it and the versions beyond keep_versions removed. The live version's
// files are never written, also when the new version has the live one's
// name; a failure leaves `current` and what it names as they were. Errors:
// OutOfMemory, MakePath, the extraction's, the switch's, PreSwitchRefused
// (logged here), InputOutput (durable, and target_dir could not be flushed
// after the switch).
[[nodiscard]] Result<void> applyVersioned(const Bundle& bundle, std::string_view version,
                                          std::string_view body, std::string_view etag = {});

// Points target_dir/current at `link_name` (a bare name, not a path) by
// creating target_dir/current.tmp and renaming it over `current`, so that
// readers following `current` see the old or the new version, never neither.
// NoSpaceLeft when the paths do not fit their buffers; the errors of
// symlink and rename.
[[nodiscard]] Result<void> switchCurrent(std::string_view target_dir, std::string_view link_name);

}  // namespace qs
