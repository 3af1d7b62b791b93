#pragma once
// Removal of a file, link or whole directory tree without ever following a
// symbolic link, and without heap memory.

#include <string_view>

#include "util/error.hpp"

namespace qs {

// Removes what `path` names (absolute or relative to the current directory):
// a file or link by itself, a directory with everything below it. A link is
// removed, never followed. A missing last component is success; a missing
// parent is FileNotFound; "/" or a single relative name is
// CannotDeleteRootDirectory; a last name of "." or ".." is BadPathName (it
// would reach the directory above). On the first failure the removal stops,
// leaving the tree partly removed, and the error is returned.
[[nodiscard]] Result<void> removeTree(std::string_view path);

}  // namespace qs
