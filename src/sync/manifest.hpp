#pragma once
// What a direct install wrote, so that the next one can remove what the
// payload no longer holds (`prune = yes`): the record target_dir/.manifest,
// one path a line relative to target_dir, and the pruning itself.
//
// Only what an install of the agent wrote is ever removed: a path the
// record does not name stays, whoever put it there. The record is a file
// anybody who may write in target_dir can edit, so every line is checked
// again when it is read, and a removal never follows a link.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"

namespace qs {

inline constexpr std::string_view kManifestName = ".manifest";

// Whether the bundle prunes: a direct archive bundle with prune = yes.
[[nodiscard]] bool prunes(const Bundle& bundle);

// The record's text: the paths one a line, with "\" written "\\" and a line
// feed inside a name "\n", so that any name fits on one line.
[[nodiscard]] std::string encodeManifest(const std::vector<std::string>& paths);

// The paths of a record's text, sorted, without duplicates; lines that do
// not decode or that name no path the agent could have written below
// target_dir (empty, absolute, with an empty, "." or ".." component, or one
// of the agent's own records at its top) are dropped.
[[nodiscard]] std::vector<std::string> decodeManifest(std::string_view text);

// The paths of target_dir's record; nothing when there is none or it cannot
// be read (a warning says which).
[[nodiscard]] std::optional<std::vector<std::string>> loadManifest(const Bundle& bundle);

// Rewrites the record through the agent's record writer. Logs a failure.
[[nodiscard]] Result<void> saveManifest(const Bundle& bundle, const std::vector<std::string>& paths);

// `names` (relative, as an extraction reports them) with every directory
// above each added, sorted, without duplicates: every path the payload
// holds.
[[nodiscard]] std::vector<std::string> payloadPaths(std::vector<std::string> names);

// Removes from target_dir the paths of `previous` that `current` (both
// sorted) does not hold: files and links, and directories once empty;
// deepest first, one line each. Returns the paths of `previous` still there
// that were not removed (a directory not empty, a failed removal), which the
// record keeps naming.
[[nodiscard]] std::vector<std::string> prunePaths(const Bundle& bundle,
                                                  const std::vector<std::string>& previous,
                                                  const std::vector<std::string>& current);

// The union of two sorted path lists, sorted.
[[nodiscard]] std::vector<std::string> mergePaths(const std::vector<std::string>& a,
                                                  const std::vector<std::string>& b);

}  // namespace qs
