#pragma once
// What every install mode shares: the bundle's install settings read one
// way, the hooks' environment and the post_sync run, and the flush of a
// directory that now holds new names.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "deploy/extract_archive.hpp"

namespace qs {

[[nodiscard]] bool isDurable(const Bundle& bundle);
[[nodiscard]] std::uint32_t hookTimeout(const Bundle& bundle);
// What an install reads its archive from: the payload as published, or its
// tar stream, decoded already by the caller (a spooled payload decoded on
// another thread), whose reads then fail for every fault of the coding.
enum class ArchiveStream { as_published, decoded };
[[nodiscard]] ExtractLimits extractLimits(const Bundle& bundle,
                                          ArchiveStream stream = ArchiveStream::as_published);
// Whether an extraction stopped at max_unpacked_bytes or max_entries.
[[nodiscard]] bool isLimitError(Error error);

// The hooks' whole environment: what they need to know of this install and
// nothing of the agent's own environment.
struct HookVariables {
    std::vector<std::string> environment;
    std::string version_dir;  // absolute
};

// `directory_name` is the new tree's entry in target_dir (empty: target_dir
// itself); `previous` the version `current` named before, if any.
[[nodiscard]] HookVariables hookVariables(const Bundle& bundle, std::string_view version,
                                          std::string_view directory_name, std::string_view etag,
                                          std::optional<std::string_view> previous);

// Runs post_sync when the bundle has one; a failure is a warning naming
// `what_stays` in place.
void runHook(const Bundle& bundle, std::string_view what_stays, const HookVariables& variables);

// What the hooks of the running cycle came to. A failed post_sync never
// undoes its install, so the install reports success and the hook's fate
// travels beside it: the cycle clears this before the install and reads it
// after. One thread runs every cycle, so one tally serves them all.
struct HookTally {
    std::uint32_t post_sync_ok = 0;
    std::uint32_t post_sync_failed = 0;
    std::uint32_t pre_switch_ok = 0;
    std::uint32_t pre_switch_refused = 0;
    // Why the last failed post_sync failed ("post_sync exited with code 3");
    // empty when none did.
    std::string post_sync_failure;
};
[[nodiscard]] HookTally& cycleHooks();
// Books a pre_switch run into the tally.
void countPreSwitch(bool accepted);

// Flushes `target_dir`; on failure logs it and clears `flushed`.
void flushTargetDir(std::string_view target_dir, bool& flushed);

}  // namespace qs
