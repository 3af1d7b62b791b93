#pragma once
// The raw install: a payload written as one file where readers look,
// renamed into place whole. Direct mode's archive install is in
// direct_install.hpp.

#include <string>
#include <string_view>

#include "config/config.hpp"
#include "sync/direct_install.hpp"
#include "sync/spool.hpp"
#include "util/error.hpp"

namespace qs {

// target_dir/filename written under a temporary name beside it and renamed
// over it. ConfigError without a filename, CreateFileFailed, WriteFailed,
// OutOfMemory.
[[nodiscard]] Result<void> applyRaw(const Bundle& bundle, std::string_view version,
                                    std::string_view body, std::string_view etag = {});

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
