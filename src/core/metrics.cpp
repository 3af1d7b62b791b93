#include "core/metrics.hpp"

#include <new>
#include <set>

#include "log/log.hpp"
#include "platform/record_file.hpp"
#include "util/integer_text.hpp"
#include "util/json.hpp"
#include "util/program_version.hpp"
#include "sync/sync_bundle.hpp"

namespace qs {

using log::Scope;

namespace {

// A label value of the exposition format: backslash, double quote and line
// feed escaped; bytes that are not UTF-8 replaced, since the format is.
void appendLabelValue(std::string& out, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto byte = static_cast<unsigned char>(bytes.front());
        if (byte >= 0x80) {
            const std::size_t length = json_detail::utf8SequenceLength(bytes);
            if (length == 0) {
                out += "\xef\xbf\xbd";
                bytes.remove_prefix(1);
            } else {
                out += bytes.substr(0, length);
                bytes.remove_prefix(length);
            }
            continue;
        }
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '"') {
            out += "\\\"";
        } else if (byte == '\n') {
            out += "\\n";
        } else {
            out += static_cast<char>(byte);
        }
        bytes.remove_prefix(1);
    }
}

struct MetricFamily {
    std::string_view name;
    std::string_view type;
    std::string_view help;
    std::string (*value)(const BundleStatus& status);
};

std::string seconds(std::uint64_t milliseconds) {
    std::string text = std::to_string(milliseconds / 1000) + ".";
    const std::string fraction = std::to_string(1000 + milliseconds % 1000);
    return text + fraction.substr(1);
}

// One sample per bundle, labelled with the bundle alone.
const MetricFamily kFamilies[] = {
    {"quillstead_bundle_last_success_timestamp_seconds", "gauge",
     "Unix time of the last cycle that ended installed or unchanged (0: none).",
     [](const BundleStatus& s) { return std::to_string(s.last_success); }},
    {"quillstead_bundle_last_change_timestamp_seconds", "gauge",
     "Unix time the live version went live (0: not known).",
     [](const BundleStatus& s) { return std::to_string(s.live_since); }},
    {"quillstead_last_attempt_timestamp_seconds", "gauge",
     "Unix time of the last cycle (0: none).",
     [](const BundleStatus& s) { return std::to_string(s.last_attempt); }},
    {"quillstead_bundle_consecutive_failures", "gauge",
     "Cycles in a row that ended in anything but installed or unchanged.",
     [](const BundleStatus& s) { return std::to_string(s.consecutive_failures); }},
    {"quillstead_download_bytes_total", "counter", "Payload bytes downloaded since start-up.",
     [](const BundleStatus& s) { return std::to_string(s.bytes_downloaded_total); }},
    {"quillstead_last_duration_seconds", "gauge", "How long the last cycle took.",
     [](const BundleStatus& s) { return seconds(s.duration_ms); }},
    {"quillstead_bundle_settings_unusable", "gauge",
     "1 while the bundle runs on its previous settings because the reloaded ones cannot be used.",
     [](const BundleStatus& s) { return std::string(s.settings_error ? "1" : "0"); }},
    {"quillstead_metadata_expired", "gauge",
     "1 when the last cycle found the bundle's signed metadata past its expiry.",
     [](const BundleStatus& s) { return std::string(s.metadata_expired ? "1" : "0"); }},
    {"quillstead_metadata_expiry_timestamp_seconds", "gauge",
     "Unix time the last accepted signed metadata expires (0: none).",
     [](const BundleStatus& s) { return std::to_string(s.metadata_expires); }},
};

void familyHead(std::string& out, std::string_view name, std::string_view type,
                std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

// Label values, one per bundle: its name, with "~2", "~3", ... for a name
// an earlier bundle has, since two series may not share their labels.
std::vector<std::string> labelNames(std::span<const Bundle> bundles) {
    std::vector<std::string> labels;
    std::set<std::string, std::less<>> taken;
    for (const Bundle& bundle : bundles) {
        std::string label = bundle.name;
        for (unsigned n = 2; taken.contains(label); ++n) label = bundle.name + "~" + std::to_string(n);
        taken.insert(label);
        labels.push_back(std::move(label));
    }
    return labels;
}

}  // namespace

std::string renderMetrics(std::span<const Bundle> bundles, std::span<const BundleState> states,
                          const AgentFacts& agent) {
    const std::size_t count = bundles.size() < states.size() ? bundles.size() : states.size();
    const auto labels = labelNames(bundles.first(count));
    std::string out;
    const auto bundleLabel = [&](std::size_t i) {
        out.append("{bundle=\"");
        appendLabelValue(out, labels[i]);
        out.append("\"");
    };

    // Every outcome of every bundle, zeros included, so that a rate over a
    // window sees the first failure as a change.
    familyHead(out, "quillstead_bundle_cycles_total", "counter",
               "Sync cycles since start-up, by how they ended.");
    for (std::size_t i = 0; i < count; ++i) {
        for (const SyncOutcome outcome : kSyncOutcomes) {
            out.append("quillstead_bundle_cycles_total");
            bundleLabel(i);
            out.append(",outcome=\"").append(outcomeWord(outcome)).append("\"} ");
            out.append(std::to_string(states[i].status.cycles[static_cast<std::size_t>(outcome)]));
            out.append("\n");
        }
    }
    // Only chunked bundles have a chunk cache, and only once they installed.
    bool any_cache = false;
    for (std::size_t i = 0; i < count; ++i) any_cache = any_cache || states[i].status.chunk_cache_bytes;
    if (any_cache) {
        out.append("# HELP quillstead_chunk_cache_bytes Bytes held in the bundle's chunk cache.\n");
        out.append("# TYPE quillstead_chunk_cache_bytes gauge\n");
        for (std::size_t i = 0; i < count; ++i) {
            if (!states[i].status.chunk_cache_bytes) continue;
            out.append("quillstead_chunk_cache_bytes{bundle=\"");
            appendLabelValue(out, labels[i]);
            out.append("\"} ").append(std::to_string(*states[i].status.chunk_cache_bytes)).append("\n");
        }
    }

    familyHead(out, "quillstead_bundle_info", "gauge",
               "1 for the version live in the bundle's target_dir.");
    for (std::size_t i = 0; i < count; ++i) {
        if (states[i].status.version.empty()) continue;
        out.append("quillstead_bundle_info");
        bundleLabel(i);
        out.append(",version=\"");
        appendLabelValue(out, states[i].status.version);
        out.append("\"} 1\n");
    }

    for (const MetricFamily& family : kFamilies) {
        familyHead(out, family.name, family.type, family.help);
        for (std::size_t i = 0; i < count; ++i) {
            out.append(family.name);
            bundleLabel(i);
            out.append("} ").append(family.value(states[i].status)).append("\n");
        }
    }

    // Only the hooks a bundle has.
    familyHead(out, "quillstead_hook_runs_total", "counter",
               "Hook runs since start-up, by hook and how they ended.");
    for (std::size_t i = 0; i < count; ++i) {
        const BundleStatus& s = states[i].status;
        struct Run {
            bool configured;
            std::string_view hook;
            std::string_view outcome;
            std::uint64_t value;
        };
        const Run runs[] = {
            {bundles[i].pre_switch.has_value(), "pre_switch", "ok", s.pre_switch_ok},
            {bundles[i].pre_switch.has_value(), "pre_switch", "refused", s.pre_switch_refused},
            {bundles[i].post_sync.has_value(), "post_sync", "ok", s.post_sync_ok},
            {bundles[i].post_sync.has_value(), "post_sync", "failed", s.post_sync_failed},
        };
        for (const Run& run : runs) {
            if (!run.configured) continue;
            out.append("quillstead_hook_runs_total");
            bundleLabel(i);
            out.append(",hook=\"").append(run.hook).append("\",outcome=\"").append(run.outcome);
            out.append("\"} ").append(std::to_string(run.value)).append("\n");
        }
    }

    familyHead(out, "quillstead_config_last_reload_successful", "gauge",
               "1 when the last reading of the configuration was taken into use.");
    out.append("quillstead_config_last_reload_successful ")
        .append(agent.last_reload_ok ? "1" : "0")
        .append("\n");
    familyHead(out, "quillstead_config_last_reload_success_timestamp_seconds", "gauge",
               "Unix time of the last configuration taken into use.");
    out.append("quillstead_config_last_reload_success_timestamp_seconds ")
        .append(std::to_string(agent.last_reload_success))
        .append("\n");
    familyHead(out, "quillstead_agent_start_time_seconds", "gauge",
               "Unix time the agent started.");
    out.append("quillstead_agent_start_time_seconds ").append(std::to_string(agent.started)).append("\n");

    out.append("# HELP quillstead_build_info The agent's version.\n");
    out.append("# TYPE quillstead_build_info gauge\n");
    out.append("quillstead_build_info{version=\"").append(kProgramVersion).append("\"} 1\n");
    return out;
}

void writeMetrics(std::string_view path, std::span<const Bundle> bundles,
                  std::span<const BundleState> states, const AgentFacts& agent) {
    try {
        if (auto written = platform::replaceRecordFile(path, renderMetrics(bundles, states, agent));
            !written) {
            log::warn(Scope::quillstead, "failed to write metrics_file ", path, ": ", written.error());
        }
    } catch (const std::bad_alloc&) {
        log::warn(Scope::quillstead, "failed to write metrics_file ", path, ": ", Error::OutOfMemory);
    }
}

}  // namespace qs
