#pragma once
// A pinned bundle: "{target_dir}/.pin", beside the version record, names
// the version directory an operator pinned the bundle to. While it is
// there the agent polls and reports as usual but installs nothing new; it
// outlives restarts because it is a file, not a setting.

#include <optional>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

inline constexpr std::string_view kPinRecordName = ".pin";

// The pinned version directory's name, or nothing when the bundle is not
// pinned (no record, or one that is not a regular file naming a version
// directory, which is warned about like any foreign record).
[[nodiscard]] std::optional<std::string> loadPin(std::string_view target_dir);

// Records the pin through the one record writer (a temporary file and a
// rename). Errors: those of replaceRecordFile, NameTooLong.
[[nodiscard]] Result<void> savePin(std::string_view target_dir, std::string_view directory_name);

// Removes the record; true when there was one.
[[nodiscard]] bool removePin(std::string_view target_dir);

}  // namespace qs
