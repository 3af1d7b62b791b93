#pragma once
// Reading the configuration file: a line-oriented grammar of "[section]"
// headers and "key = value" lines. Mistakes in the file are never errors:
// they are skipped, defaulted or warned about, so one bad line does not keep
// the agent from keeping the other bundles in step.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A line the daemon passes over in silence (or with a warning) although its
// author probably meant something by it: a mistyped key or a misspelt
// header would otherwise go unnoticed until the bundle misbehaves.
struct SkippedLine {
    enum class Kind {
        unknown_key,        // a key the section does not know
        ignored_header,     // a header that opens an ignored section
        key_outside,        // a key line before any header
        bad_value,          // a value the key's syntax refuses
        incomplete_bundle,  // a bundle dropped for lacking url or target_dir
        duplicate_bundle,   // a bundle dropped for the name of an earlier one
    };
    Kind kind = Kind::unknown_key;
    // From 1; for incomplete_bundle the closing line, for duplicate_bundle
    // the header's.
    std::size_t line_number = 0;
    std::string text;             // the key, the header, or the bundle's name
    // The bundle section the line stands in; absent in [global] and
    // outside every section.
    std::optional<std::string> bundle;
};

// Parses configuration text. Writes the warning for each bundle dropped for
// lacking url or target_dir, and the error for each dropped because an
// earlier bundle has its name; never fails. The result may hold no bundle.
// With `skipped`, every line of the kinds above is also recorded there.
[[nodiscard]] Config parseConfig(std::string_view text,
                                 std::vector<SkippedLine>* skipped = nullptr);

// Reads at most kMaxConfigBytes from `path` (relative to the current
// directory when relative), parses it and logs the outcome. On success the
// Config holds at least one bundle. `skipped` as for parseConfig.
[[nodiscard]] std::expected<Config, ConfigLoadError> loadConfig(
    std::string_view path, std::vector<SkippedLine>* skipped = nullptr);

}  // namespace qs
