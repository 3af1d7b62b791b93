#pragma once
// The Prometheus text file named by metrics_file, rewritten after every pass
// that ran a cycle, through a temporary file and a rename, so a scraper
// reads the old file or the new one, never a part. Failing to write it is a
// warning and never fails a cycle.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "sync/bundle_state.hpp"

namespace qs {

// What the metrics say about the agent rather than a bundle.
struct AgentFacts {
    // Unix seconds.
    std::int64_t started = 0;
    // Whether the last reading of the configuration (at start-up or on
    // SIGHUP) was taken into use, and when the last good one was.
    bool last_reload_ok = true;
    std::int64_t last_reload_success = 0;
};

// The metrics of the agent and every bundle in Prometheus text exposition
// format.
[[nodiscard]] std::string renderMetrics(std::span<const Bundle> bundles,
                                        std::span<const BundleState> states,
                                        const AgentFacts& agent = {});

// Rewrites metrics_file; one warning line when that fails.
void writeMetrics(std::string_view path, std::span<const Bundle> bundles,
                  std::span<const BundleState> states, const AgentFacts& agent = {});

}  // namespace qs
