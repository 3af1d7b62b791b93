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
};

struct Config {
    bool tls_verify = true;
    std::vector<Bundle> bundles;
};

// The per-bundle runtime record, one per bundle, same order, alive from
// start-up to exit.
struct BundleState {
    // The ETag to send as If-None-Match; empty means none.
    std::string etag;
    // Wall-clock seconds of the pass that last polled the bundle; 0: never.
    std::int64_t last_poll = 0;
};

std::string_view deployModeName(DeployMode mode);  // "versioned" or "direct"

}  // namespace qs
