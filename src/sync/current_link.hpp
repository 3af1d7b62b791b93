#pragma once
// The `current` link of a versioned bundle: its names, what it points at,
// and the switch that points it elsewhere in one step.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/error.hpp"
#include "util/path.hpp"

namespace qs {

inline constexpr std::string_view kCurrentName = "current";
// The new link while it is being switched: "current.tmp-{pid}", a name of
// the switching process's own, so that two processes switching one
// target_dir never remove or rename each other's.
inline constexpr std::string_view kCurrentTmpPrefix = "current.tmp-";

[[nodiscard]] std::string currentTmpName(int pid);

// The target of target_dir/current, read into `buffer`; nothing when there
// is no link or it cannot be read.
[[nodiscard]] std::optional<std::string_view> readCurrent(std::string_view target_dir,
                                                          std::array<char, kMaxSystemPath>& buffer);

// Whether target_dir/current is a link whose target is exactly `name`.
[[nodiscard]] bool currentNames(std::string_view target_dir, std::string_view name);

// What `current` makes live: the version it names (its directory's name
// without the "v") and when the link was made, which is when the switch
// to it happened, whether by an install or a rollback.
struct LiveVersion {
    std::string version;
    std::int64_t since = 0;  // Unix seconds; 0 when the link's time cannot be read
};

// Nothing when there is no `current`, or it names no version directory.
[[nodiscard]] std::optional<LiveVersion> readLiveVersion(std::string_view target_dir);

// Points target_dir/current at `link_name` (a bare name, not a path) by
// creating target_dir/current.tmp-{pid} and renaming it over `current`, so that
// readers following `current` see the old or the new version, never neither.
// NoSpaceLeft when the paths do not fit their buffers; the errors of
// symlink and rename.
[[nodiscard]] Result<void> switchCurrent(std::string_view target_dir, std::string_view link_name);

}  // namespace qs
