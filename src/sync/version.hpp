#pragma once
// Version names: what a payload is installed as, derived from the ETag the
// server sent with it.

#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

// The version name for a payload with ETag `etag`:
// - empty ETag: "t" and the wall clock in whole seconds ("t0" when the clock
//   cannot be read), so every such payload gets a new name;
// - otherwise the ETag without one pair of surrounding double quotes, a
//   leading "W/" (then again one pair of quotes) and one leading "v".
// The result may be empty. It becomes the single directory name "v{name}"
// below target_dir, so the two bytes that could make it anything else are
// encoded: "/" as "%2F" and NUL as "%00". Every other byte is kept.
// OutOfMemory is the only failure.
[[nodiscard]] Result<std::string> deriveVersion(std::string_view etag);

}  // namespace qs
