#include "sync/install_hooks.hpp"

#include "deploy/hooks.hpp"
#include "log/log.hpp"
#include "platform/process_state.hpp"
#include "platform/record_file.hpp"
#include "sync/version_store.hpp"

namespace qs {

namespace {

using log::Scope;

// target_dir as an absolute path for the hooks, which may run elsewhere; a
// trailing slash is dropped so that joined names read cleanly.
std::string absoluteTargetDir(std::string_view target_dir) {
    std::string path;
    if (!target_dir.starts_with('/')) {
        if (auto cwd = platform::currentDirectory()) path = std::move(*cwd);
        if (!path.ends_with('/')) path += '/';
    }
    path.append(target_dir);
    while (path.size() > 1 && path.ends_with('/')) path.pop_back();
    return path;
}

}  // namespace

bool isDurable(const Bundle& bundle) { return bundle.options.durable.value_or(false); }

std::uint32_t hookTimeout(const Bundle& bundle) { return bundle.options.hook_timeout.value_or(0); }

ExtractLimits extractLimits(const Bundle& bundle, ArchiveStream stream) {
    ExtractLimits limits;
    limits.coding = bundle.chunked || stream == ArchiveStream::decoded ? ArchiveCoding::none
                                                                       : ArchiveCoding::gzip;
    limits.max_unpacked_bytes = bundle.options.max_unpacked_bytes;
    limits.max_entries = bundle.options.max_entries;
    return limits;
}

bool isLimitError(Error error) {
    return error == Error::ArchiveTooLarge || error == Error::ArchiveTooManyEntries;
}

HookVariables hookVariables(const Bundle& bundle, std::string_view version,
                            std::string_view directory_name, std::string_view etag,
                            std::optional<std::string_view> previous) {
    HookVariables v;
    const std::string target = absoluteTargetDir(bundle.target_dir);
    v.version_dir = directory_name.empty() ? target : joinPath(target, directory_name);
    v.environment.push_back("QUILLSTEAD_BUNDLE=" + bundle.name);
    v.environment.push_back("QUILLSTEAD_VERSION=" + std::string(version));
    v.environment.push_back("QUILLSTEAD_VERSION_DIR=" + v.version_dir);
    v.environment.push_back("QUILLSTEAD_TARGET_DIR=" + target);
    v.environment.push_back("QUILLSTEAD_ETAG=" + std::string(etag));
    if (previous) v.environment.push_back("QUILLSTEAD_PREVIOUS_VERSION=" + std::string(*previous));
    return v;
}

HookTally& cycleHooks() {
    static HookTally tally;
    return tally;
}

void countPreSwitch(bool accepted) {
    ++(accepted ? cycleHooks().pre_switch_ok : cycleHooks().pre_switch_refused);
}

void runHook(const Bundle& bundle, std::string_view what_stays, const HookVariables& variables) {
    if (!bundle.post_sync) return;
    HookTally& tally = cycleHooks();
    const HookVerdict verdict =
        runPostSyncVerdict(*bundle.post_sync, {variables.environment, {}, hookTimeout(bundle)});
    if (verdict.accepted) {
        ++tally.post_sync_ok;
        return;
    }
    ++tally.post_sync_failed;
    log::warn(Scope::bundle, "post_sync hook failed: ", Error::HookFailed, " (", what_stays,
              ", manual action needed)");
    try {
        tally.post_sync_failure = "post_sync " + verdict.refusal;
    } catch (const std::bad_alloc&) {
        tally.post_sync_failure.clear();
    }
}

void flushTargetDir(std::string_view target_dir, bool& flushed) {
    if (auto synced = platform::flushDirectory(target_dir); !synced) {
        log::error(Scope::bundle, "failed to flush ", target_dir, ": ", synced.error());
        flushed = false;
    }
}

}  // namespace qs
