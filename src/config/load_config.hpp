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

// Where the agent looks when no -c is given: quillstead.conf in the
// configuration directory of the install prefix the build was configured
// for (/usr/local/etc/quillstead by default, /etc/quillstead for /usr).
[[nodiscard]] std::string_view defaultConfigPath();

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

// A line the daemon passes over in silence, falls back on, or will fail on
// later, for `check`: one per line at most.
struct ConfigProblem {
    std::size_t line = 0;  // from 1
    // "key = 'value'" with the value as written (a URL's password masked),
    // or the header as written.
    std::string subject;
    std::string what;     // what is wrong
    std::string instead;  // what the agent does instead, after "the agent uses "
};

// A key line as written, for checks made after parsing.
struct KeyLine {
    std::size_t line = 0;
    std::string key;
    std::string value;  // trimmed, quotes kept
};

// What `check` learns from a parse beyond the Config.
struct ConfigReview {
    std::vector<ConfigProblem> problems;
    // Per bundle of Config::bundles, same order: its header line and key lines.
    std::vector<std::size_t> bundle_headers;
    std::vector<std::vector<KeyLine>> bundle_keys;
    std::vector<KeyLine> global_keys;
    // Lines already holding a problem; a later check adds none to them.
    [[nodiscard]] bool reported(std::size_t line) const;
};

// "key = 'value'" as a problem line names it.
[[nodiscard]] std::string problemSubject(std::string_view key, std::string_view value);

// Parses configuration text. Writes the warning for each bundle dropped for
// lacking url or target_dir, the error for each dropped because an earlier
// bundle has its name, and the warning for each new key's value that does not
// parse; never fails. The result may hold no bundle. With `review`, nothing
// is written: every such line goes into it instead, with the silent
// fallbacks of the older keys.
[[nodiscard]] Config parseConfig(std::string_view text, ConfigReview* review = nullptr);

// Who reads the file. At start-up its log_format and log_level apply from
// its own first line on. A reload runs under the configuration in force:
// its lines keep the running format and level (the caller applies the new
// ones once it takes the new configuration, so a file that is refused
// changes nothing), and a key the agent does not know, or a header that is
// no section, gets a warning, since the daemon is already running and
// nobody may have run `check` on the edited file.
enum class ConfigReading { start_up, reload };

// Reads at most kMaxConfigBytes from `path` (relative to the current
// directory when relative), parses it and logs the outcome. On success the
// Config holds at least one bundle.
[[nodiscard]] std::expected<Config, ConfigLoadError> loadConfig(
    std::string_view path, ConfigReading reading = ConfigReading::start_up);

// Makes `config`'s log_format and log_level those of every later line.
void applyLogSettings(const Config& config);

}  // namespace qs
