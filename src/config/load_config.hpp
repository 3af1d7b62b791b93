#pragma once
// Reading the configuration file: a line-oriented grammar of "[section]"
// headers and "key = value" lines. Mistakes in the file are never errors:
// they are skipped, defaulted or warned about, so one bad line does not keep
// the agent from keeping the other bundles in step.

#include <cstddef>
#include <expected>
#include <string_view>

#include "config/config.hpp"
#include "util/error.hpp"

namespace qs {

// The file is read whole before parsing; a configuration is a few dozen
// lines, so anything larger is a mistake (a wrong path, a device) rather
// than a file worth parsing.
inline constexpr std::size_t kMaxConfigBytes = 262144;

// Where the agent looks when no -c is given.
inline constexpr std::string_view kDefaultConfigPath = "/usr/local/etc/quillstead/quillstead.conf";

// Why loadConfig gave up.
enum class ConfigFailure {
    // The reason has been logged ("config file not found" or "no valid
    // bundle definitions found"); the process ends with status 1.
    reported,
    // The file could not be read; `error` names why, and the caller writes
    // the start-up error line and ends with status 1.
    read_failed,
};

struct ConfigLoadError {
    ConfigFailure failure = ConfigFailure::reported;
    Error error = Error::Unexpected;
};

// Parses configuration text. Writes the warning for each bundle dropped for
// lacking url or target_dir; never fails. The result may hold no bundle.
[[nodiscard]] Config parseConfig(std::string_view text);

// Reads at most kMaxConfigBytes from `path` (relative to the current
// directory when relative), parses it and logs the outcome. On success the
// Config holds at least one bundle.
[[nodiscard]] std::expected<Config, ConfigLoadError> loadConfig(std::string_view path);

}  // namespace qs
