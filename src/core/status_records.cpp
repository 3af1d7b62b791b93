#include "core/status_records.hpp"

#include <new>
#include <set>

#include "core/command_line.hpp"
#include "util/url_password.hpp"
#include "log/log.hpp"
#include "platform/file_create.hpp"
#include "platform/record_file.hpp"
#include "util/integer_text.hpp"
#include "util/json.hpp"
#include "sync/current_link.hpp"
#include "sync/install_hooks.hpp"

namespace qs {

namespace {

using log::Scope;

bool keptInName(char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || (c == '.' && !first);
}

void member(std::string& out, std::string_view name, bool first = false) {
    if (!first) out += ',';
    appendJsonString(out, name);
    out += ':';
}

void numberOrNull(std::string& out, std::int64_t value) {
    out += value == 0 ? std::string("null") : std::to_string(value);
}

std::optional<std::uint64_t> unsignedMember(const JsonFlatObject& o, std::string_view name) {
    const auto it = o.find(name);
    if (it == o.end() || !it->second) return std::nullopt;
    const auto value = parseUnsigned(*it->second, 10, IntegerWidth::bits64);
    if (!value) return std::nullopt;
    return *value;
}

}  // namespace

std::vector<std::string> statusFileNames(std::span<const Bundle> bundles) {
    std::vector<std::string> names;
    std::set<std::string, std::less<>> taken;
    for (const Bundle& bundle : bundles) {
        std::string base;
        for (char c : bundle.name.substr(0, kStatusNameBytes)) {
            base += keptInName(c, base.empty()) ? c : '_';
        }
        if (base.empty()) base = "_";
        std::string name = base;
        for (unsigned n = 2; taken.contains(name); ++n) name = base + "~" + std::to_string(n);
        taken.insert(name);
        names.push_back(name + ".json");
    }
    return names;
}

std::string renderStatusRecord(const Bundle& bundle, const BundleStatus& status,
                               std::string_view etag, std::string_view state) {
    std::string out = "{";
    member(out, "bundle", true);
    appendJsonString(out, bundle.name);
    member(out, "url");
    appendJsonString(out, redactPassword(bundle.url));
    member(out, "target_dir");
    appendJsonString(out, bundle.target_dir);
    member(out, "last_attempt");
    numberOrNull(out, status.last_attempt);
    member(out, "last_success");
    numberOrNull(out, status.last_success);
    member(out, "result");
    if (status.result.empty()) {
        out += "null";
    } else {
        appendJsonString(out, status.result);
    }
    member(out, "consecutive_failures");
    out += std::to_string(status.consecutive_failures);
    member(out, "last_error");
    if (status.last_error) {
        appendJsonString(out, *status.last_error);
    } else {
        out += "null";
    }
    if (status.settings_error) {
        // Only while there is one: a record of a bundle on its own settings
        // keeps the fields it always had.
        member(out, "settings_error");
        appendJsonString(out, *status.settings_error);
    }
    member(out, "version");
    if (status.version.empty()) {
        out += "null";
    } else {
        appendJsonString(out, status.version);
    }
    member(out, "live_since");
    numberOrNull(out, status.live_since);
    member(out, "etag");
    if (etag.empty()) {
        out += "null";
    } else {
        appendJsonString(out, etag);
    }
    member(out, "bytes");
    out += std::to_string(status.bytes);
    member(out, "duration_ms");
    out += std::to_string(status.duration_ms);
    if (status.chunk_cache_bytes) {
        member(out, "chunk_cache_bytes");
        out += std::to_string(*status.chunk_cache_bytes);
    }
    if (!state.empty()) {
        member(out, "state");
        appendJsonString(out, state);
    }
    out += "}\n";
    return out;
}

std::optional<BundleStatus> parseStatusRecord(std::string_view text, const Bundle& bundle) {
    const auto object = parseFlatJsonObject(text);
    if (!object) return std::nullopt;
    const auto text_of = [&object](std::string_view name) -> std::optional<std::string> {
        const auto it = object->find(name);
        if (it == object->end()) return std::nullopt;
        return it->second;
    };
    // A record left by another bundle under this file name (the list was
    // reordered) says nothing about this one.
    if (text_of("bundle") != bundle.name || text_of("target_dir") != bundle.target_dir) {
        return std::nullopt;
    }
    BundleStatus status;
    status.last_attempt = static_cast<std::int64_t>(unsignedMember(*object, "last_attempt").value_or(0));
    status.last_success = static_cast<std::int64_t>(unsignedMember(*object, "last_success").value_or(0));
    status.result = text_of("result").value_or("");
    status.consecutive_failures =
        static_cast<std::uint32_t>(unsignedMember(*object, "consecutive_failures").value_or(0));
    status.last_error = text_of("last_error");
    status.settings_error = text_of("settings_error");
    status.version = text_of("version").value_or("");
    status.live_since = static_cast<std::int64_t>(unsignedMember(*object, "live_since").value_or(0));
    status.bytes = unsignedMember(*object, "bytes").value_or(0);
    status.duration_ms = unsignedMember(*object, "duration_ms").value_or(0);
    status.chunk_cache_bytes = unsignedMember(*object, "chunk_cache_bytes");
    return status;
}

std::optional<BundleStatus> readStatusRecord(std::string_view state_dir, std::string_view file,
                                             const Bundle& bundle) {
    std::string path(state_dir);
    path.append("/").append(file);
    auto text = platform::readRecordFile(path, kMaxStatusRecordBytes);
    if (!text) {
        if (platform::isForeignEntry(text.error())) {
            log::warn(Scope::quillstead, "[", bundle.name, "] ignored ", path,
                      ": not a regular file");
        }
        return std::nullopt;
    }
    return parseStatusRecord(*text, bundle);
}

bool prepareStateDir(std::string_view state_dir) {
    auto made = platform::makePrivateDirectory(state_dir);
    if (!made) {
        log::warn(Scope::quillstead, "failed to create state_dir ", state_dir, ": ", made.error());
        return true;
    }
    switch (*made) {
    case platform::PrivateDirectory::created:
    case platform::PrivateDirectory::existed: return true;
    case platform::PrivateDirectory::made_private:
        log::warn(Scope::quillstead, "state_dir ", state_dir,
                  " was open to other users; made private (0700)");
        return true;
    case platform::PrivateDirectory::open_to_others:
        // Whoever can write there can plant a digest record that makes the
        // agent skip an install, or forge what status reports.
        log::error(Scope::quillstead, "state_dir ", state_dir,
                   " is writable by other users; refusing it");
        return false;
    }
    return true;
}

void writeStatusRecord(std::string_view state_dir, std::string_view file, const Bundle& bundle,
                       const BundleState& state) {
    try {
        std::string path(state_dir);
        path.append("/").append(file);
        const std::string record = renderStatusRecord(bundle, state.status, state.etag);
        if (auto written = platform::replaceRecordFile(path, record); !written) {
            log::warn(Scope::quillstead, "[", bundle.name, "] failed to write status record ", path,
                      ": ", written.error());
        }
    } catch (const std::bad_alloc&) {
        log::warn(Scope::quillstead, "[", bundle.name, "] failed to write status record: ",
                  Error::OutOfMemory);
    }
}

void recordCycle(const Bundle& bundle, BundleState& state, SyncOutcome outcome,
                 std::int64_t started, std::uint64_t duration_ms, std::uint64_t bytes_before) {
    BundleStatus& s = state.status;
    if (outcome == SyncOutcome::busy) {
        // Not polled: what the last real cycle came to still stands, and
        // the other agent's cycle counts in its own records.
        s.result = outcomeWord(outcome);
        ++s.cycles[static_cast<std::size_t>(outcome)];
        return;
    }
    s.last_attempt = started;
    s.duration_ms = duration_ms;
    s.result = outcomeWord(outcome);
    ++s.cycles[static_cast<std::size_t>(outcome)];
    const HookTally& hooks = cycleHooks();
    s.post_sync_ok += hooks.post_sync_ok;
    s.post_sync_failed += hooks.post_sync_failed;
    s.pre_switch_ok += hooks.pre_switch_ok;
    s.pre_switch_refused += hooks.pre_switch_refused;
    // The cycle sets bytes only when it downloaded a payload.
    if (s.bytes != 0) {
        s.bytes_downloaded_total += s.bytes;
    } else {
        s.bytes = bytes_before;
    }
    // A new version went live during the cycle, whatever its hook did.
    if (outcome == SyncOutcome::installed || outcome == SyncOutcome::hook_failed) {
        s.live_since = started + static_cast<std::int64_t>(duration_ms / 1000);
    }
    if (cycleSucceeded(outcome)) {
        s.last_success = started;
        s.consecutive_failures = 0;
        s.last_error.reset();
        return;
    }
    if (s.consecutive_failures < UINT32_MAX) ++s.consecutive_failures;
    if (outcome == SyncOutcome::hook_failed) {
        // A warning, not an error line, says so: the install itself is done.
        s.last_error = hooks.post_sync_failure.empty() ? std::string("post_sync failed")
                                                      : hooks.post_sync_failure;
        return;
    }
    // The cycle's last error line says why; without the "[name] " the
    // line starts with.
    std::string_view why = log::lastErrorMessage();
    const std::string prefix = "[" + bundle.name + "] ";
    if (why.starts_with(prefix)) why.remove_prefix(prefix.size());
    if (!why.empty()) {
        s.last_error = std::string(why);
    } else if (outcome != SyncOutcome::refused || !s.last_error) {
        // A poll that finds the refused payload still offered logs no error:
        // the refusal's own reason stands.
        s.last_error = std::string(outcomeWord(outcome));
    }
}

void refreshLiveVersion(const Bundle& bundle, BundleStatus& status) {
    if (bundle.format == BundleFormat::raw || bundle.mode != DeployMode::versioned) return;
    auto live = readLiveVersion(bundle.target_dir);
    if (!live) return;
    // The same version switched to again in place keeps its link; the
    // record knows the later time then.
    if (live->version == status.version && status.live_since > live->since) return;
    status.version = std::move(live->version);
    status.live_since = live->since;
}

}  // namespace qs
