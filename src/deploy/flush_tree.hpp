#pragma once
// Making a freshly written tree durable before anything refers to it.

#include <string_view>

#include "util/error.hpp"

namespace qs {

// How the tree reaches stable storage: one flush of the whole file system
// that holds it (one call, whatever the number of files; where the system
// has such a call), or one fsync per file and per directory.
enum class FlushMethod { file_system, each_file };

// The method this system does best: file_system where it exists.
[[nodiscard]] FlushMethod preferredFlushMethod();

// Flushes every file and directory below `path`, and `path` itself. Links
// are not followed (an extracted tree holds none). Errors: those of opening
// the directories and files, and of fsync/syncfs.
[[nodiscard]] Result<void> flushTree(std::string_view path, FlushMethod method);

}  // namespace qs
