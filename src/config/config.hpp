#pragma once
// The parsed configuration: read once at start-up, read-only afterwards.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.hpp"

namespace qs {

enum class DeployMode { versioned, direct };
enum class BundleFormat { archive, raw };

// Default seconds between two polls of a bundle.
inline constexpr std::uint32_t kDefaultPollInterval = 60;

// Keys that a bundle may set and `[global]` may default. Absent means the
// key was not given (or did not parse): the bundle's own line wins, then the
// `[global]` line, then the behaviour of an agent without the key.
struct BundleOptions {
    // Seconds; 0 means no limit.
    std::optional<std::uint32_t> connect_timeout;
    std::optional<std::uint32_t> io_timeout;
    std::optional<std::uint32_t> max_fetch_time;
    std::optional<std::uint32_t> hook_timeout;
    // The longest wait between attempts after failures; 0 means off.
    std::optional<std::uint32_t> retry_backoff;
    // Percent of poll_interval, 0 to 100.
    std::optional<std::uint32_t> poll_jitter;
    std::optional<std::uint64_t> max_payload_bytes;
    std::optional<std::uint64_t> max_unpacked_bytes;
    std::optional<std::uint64_t> max_entries;
    std::optional<bool> durable;
    // At least 1.
    std::optional<std::uint32_t> keep_versions;
    std::optional<std::string> proxy;
    std::optional<std::string> no_proxy;
    std::optional<bool> skip_identical;
    std::optional<bool> use_last_modified;

    // Fills every key this record lacks from `defaults`.
    void inheritFrom(const BundleOptions& defaults);
    // Whether any key is set.
    [[nodiscard]] bool any() const;

    bool operator==(const BundleOptions&) const = default;
};

struct Bundle {
    std::string name;
    std::string url;
    std::string target_dir;
    // Optional text: absent differs from present-and-empty ("" in the file).
    std::optional<std::string> filename;
    std::optional<std::string> post_sync;
    std::optional<std::string> authorization;
    std::optional<std::string> extract_owner;
    std::uint32_t poll_interval = kDefaultPollInterval;
    std::optional<std::uint32_t> extract_mode;
    DeployMode mode = DeployMode::versioned;
    BundleFormat format = BundleFormat::archive;
    // Keys of a bundle only.
    std::optional<std::string> public_key;
    std::optional<std::string> signature_url;
    std::optional<std::string> pre_switch;
    // After loading: the bundle's own keys with `[global]` defaults filled in.
    BundleOptions options;

    bool operator==(const Bundle&) const = default;
};

enum class LogFormat { text, json };
// In order of detail, as log_level names them.
enum class LogLevel { error, warning, info, debug };

struct Config {
    bool tls_verify = true;
    std::vector<Bundle> bundles;
    // `[global]` lines of the per-bundle keys, already applied to `bundles`.
    BundleOptions defaults;
    // Keys of `[global]` only.
    std::optional<std::string> state_dir;
    std::optional<std::string> metrics_file;
    LogFormat log_format = LogFormat::text;
    LogLevel log_level = LogLevel::info;
};

std::string_view deployModeName(DeployMode mode);  // "versioned" or "direct"

}  // namespace qs
