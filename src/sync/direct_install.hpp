#pragma once
// The direct install: an archive's files placed straight into target_dir,
// where readers look, all or nothing.
//
// The archive is extracted whole into a staging directory of target_dir
// (".staging-{version}-{pid}", the name form the start-up sweep knows), with
// the limits, modes and owners applied there. Only once the whole archive
// has been read without error, and nothing in target_dir stands where the
// payload needs a file or a directory of another kind, are its entries moved
// into target_dir in archive order: directories made where missing, each
// file renamed over its old name, so a reader sees the old file or the new
// one, never a part. Any failure before that leaves target_dir exactly as it
// was, and a line says so.

#include <functional>
#include <string_view>

#include "config/config.hpp"
#include "formats/reader.hpp"
#include "sync/install_hooks.hpp"
#include "util/error.hpp"

namespace qs {

// The archive in `body` placed into target_dir; then post_sync. Errors:
// OutOfMemory, MakePath (no staging directory), the extraction's, IsDir,
// NotDir or PathAlreadyExists for an entry of target_dir in the way, the
// rename's during the move (the names moved are logged), InputOutput
// (durable, and target_dir could not be flushed).
[[nodiscard]] Result<void> applyDirect(const Bundle& bundle, std::string_view version,
                                       std::string_view body, std::string_view etag = {});

// The same, reading the archive from a stream (a spooled body), as
// published or decoded already. `read_done`, when given, is called once the
// archive has been read, before the files are flushed: the caller lets go
// of what it read from there.
[[nodiscard]] Result<void> applyDirectFrom(const Bundle& bundle, std::string_view version,
                                           Reader& archive, std::string_view etag = {},
                                           ArchiveStream stream = ArchiveStream::as_published,
                                           const std::function<void()>& read_done = {});

// The line that tells an operator a failed direct install changed nothing
// in target_dir, for failures found before the install began (a signature,
// a spool that could not be written).
void reportDirectUnchanged(const Bundle& bundle);

}  // namespace qs
