#include "config/config.hpp"

namespace qs {

void BundleOptions::inheritFrom(const BundleOptions& defaults) {
    const auto fill = [](auto& field, const auto& fallback) {
        if (!field && fallback) field = fallback;
    };
    fill(connect_timeout, defaults.connect_timeout);
    fill(io_timeout, defaults.io_timeout);
    fill(max_fetch_time, defaults.max_fetch_time);
    fill(hook_timeout, defaults.hook_timeout);
    fill(retry_backoff, defaults.retry_backoff);
    fill(poll_jitter, defaults.poll_jitter);
    fill(max_payload_bytes, defaults.max_payload_bytes);
    fill(max_unpacked_bytes, defaults.max_unpacked_bytes);
    fill(max_entries, defaults.max_entries);
    fill(durable, defaults.durable);
    fill(keep_versions, defaults.keep_versions);
    fill(proxy, defaults.proxy);
    fill(no_proxy, defaults.no_proxy);
    fill(skip_identical, defaults.skip_identical);
    fill(use_last_modified, defaults.use_last_modified);
}

bool BundleOptions::any() const {
    return connect_timeout || io_timeout || max_fetch_time || hook_timeout || retry_backoff ||
           poll_jitter || max_payload_bytes || max_unpacked_bytes || max_entries || durable ||
           keep_versions || proxy || no_proxy || skip_identical || use_last_modified;
}

std::string_view deployModeName(DeployMode mode) {
    switch (mode) {
    case DeployMode::versioned: return "versioned";
    case DeployMode::direct: return "direct";
    }
    return "versioned";
}

}  // namespace qs
