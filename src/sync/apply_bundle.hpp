#pragma once
// Installing a downloaded payload below a bundle's target_dir: as one raw
// file, by extraction straight into target_dir, or by extraction into a
// version directory "v{version}" followed by an atomic switch of the
// `current` link.

#include <cstdint>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "platform/file_create.hpp"
#include "sync/current_link.hpp"
#include "sync/raw_direct_install.hpp"
#include "sync/versioned_install.hpp"
#include "util/error.hpp"

namespace qs {

// mkdir(target_dir): one level, an existing entry of any kind accepted.
// Logs its own failure line; tells whether the directory was made now.
[[nodiscard]] Result<platform::DirectoryMade> ensureTargetDir(const Bundle& bundle);

// Installs `body` as the bundle's format and mode say: raw whatever the mode,
// else direct or versioned. Logs every failure except the caller's summary;
// a failed post_sync hook or a failed removal of the previous version still
// returns success. `version` is a name from deriveVersion, `etag` the
// payload's ETag (both for the hooks' environment). With the bundle's
// `durable` key the new files reach stable storage before success.
[[nodiscard]] Result<void> applyBundle(const Bundle& bundle, std::string_view version,
                                       std::string_view body, std::string_view etag = {});

}  // namespace qs
