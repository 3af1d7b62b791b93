#pragma once
// The parsed configuration: read at start-up and at each reload, read-only
// while it is in force.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/option_keys.hpp"
#include "util/error.hpp"

namespace qs {

enum class DeployMode { versioned, direct };
enum class BundleFormat { archive, raw };

// Default seconds between two polls of a bundle.
inline constexpr std::uint32_t kDefaultPollInterval = 60;

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
    // `format = chunked`: `url` names a casync index, and the payload is
    // put together from the chunks of its store. The payload is then an
    // uncompressed tar, or with `filename` one raw file (`format` says raw).
    bool chunked = false;
    // Keys of a bundle only.
    std::optional<std::string> public_key;
    std::optional<std::string> signature_url;
    std::optional<std::string> pre_switch;
    // After loading: the bundle's own keys with `[global]` defaults filled in.
    BundleOptions options;

    bool operator==(const Bundle&) const = default;
};

// A bundle section that ended without url or target_dir and was left out:
// a reload keeps the running bundle of that name instead of dropping it.
struct IncompleteBundle {
    std::string name;
    // "url", "target_dir" or "url and target_dir".
    std::string missing;
    // How many bundles of the file stand before it.
    std::size_t position = 0;
};

enum class LogFormat { text, json };
// In order of detail, as log_level names them.
enum class LogLevel { error, warning, info, debug };

struct Config {
    bool tls_verify = true;
    std::vector<Bundle> bundles;
    // Sections left out of `bundles` for lacking url or target_dir, in file order.
    std::vector<IncompleteBundle> incomplete;
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
