#pragma once
// The Prometheus text file named by metrics_file, rewritten after every pass
// that ran a cycle, through a temporary file and a rename, so a scraper
// reads the old file or the new one, never a part. Failing to write it is a
// warning and never fails a cycle.

#include <span>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "sync/bundle_state.hpp"

namespace qs {

// The metrics of every bundle in Prometheus text exposition format.
[[nodiscard]] std::string renderMetrics(std::span<const Bundle> bundles,
                                        std::span<const BundleState> states);

// Rewrites metrics_file; one warning line when that fails.
void writeMetrics(std::string_view path, std::span<const Bundle> bundles,
                  std::span<const BundleState> states);

}  // namespace qs
