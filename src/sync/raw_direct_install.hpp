#pragma once
// The installs that write where readers look: a raw payload as one file,
// renamed into place whole, and an archive extracted into target_dir
// itself (direct mode).

#include <string>
#include <string_view>

#include "config/config.hpp"
#include "formats/reader.hpp"
#include "sync/spool.hpp"
#include "util/error.hpp"

namespace qs {

// target_dir/filename written under a temporary name beside it and renamed
// over it. ConfigError without a filename, CreateFileFailed, WriteFailed,
// OutOfMemory.
[[nodiscard]] Result<void> applyRaw(const Bundle& bundle, std::string_view version,
                                    std::string_view body, std::string_view etag = {});

// The archive extracted into target_dir itself; on failure the files
// written so far stay. Errors as extractArchive.
[[nodiscard]] Result<void> applyDirect(const Bundle& bundle, std::string_view version,
                                       std::string_view body, std::string_view etag = {});

// Direct extraction from a stream (a spooled body). As applyDirect.
[[nodiscard]] Result<void> applyDirectFrom(const Bundle& bundle, std::string_view version,
                                           Reader& archive, std::string_view etag = {});

// Raw install of a spooled body (on the file system of
// target_dir/filename): the spool gets the mode a new file would get and the
// bundle's owner and mode, then is renamed over target_dir/filename, so
// readers see the old file or the new one whole. Lines and errors as
// applyRaw; a failed rename is CreateFileFailed.
[[nodiscard]] Result<void> applyRawFrom(const Bundle& bundle, std::string_view version,
                                        Spool& spool, std::string_view etag = {});

// The path a raw payload goes to; OutOfMemory.
[[nodiscard]] Result<std::string> rawPath(const Bundle& bundle);

}  // namespace qs
