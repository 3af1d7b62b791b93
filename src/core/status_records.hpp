#pragma once
// What the agent keeps about each bundle outside the target directories:
// one JSON status record per bundle in state_dir, rewritten after every
// cycle through a temporary file and a rename, so a reader sees the old
// record or the new one, never a part. Failing to write one is a warning
// and never fails a cycle.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "sync/sync_bundle.hpp"

namespace qs {

// The record file name of every bundle, same order. The name is the
// bundle's name with every byte other than a letter, digit, "-", "_" or a
// "." that does not come first replaced by "_" (an empty name becomes "_"),
// cut at kStatusNameBytes; a name already taken by an earlier bundle gets
// "~2", "~3", ... appended (no name keeps a "~"); then ".json".
inline constexpr std::size_t kStatusNameBytes = 100;
[[nodiscard]] std::vector<std::string> statusFileNames(std::span<const Bundle> bundles);

// The record of one bundle: one JSON object and a line feed. `state`, when
// given, is added as a last member (what `status --json` adds: the STATE
// word of the table).
[[nodiscard]] std::string renderStatusRecord(const Bundle& bundle, const BundleStatus& status,
                                             std::string_view etag, std::string_view state = {});

// A record read back: the status fields it holds. Empty when `text` is not a
// record of a bundle with this name and target_dir.
[[nodiscard]] std::optional<BundleStatus> parseStatusRecord(std::string_view text,
                                                            const Bundle& bundle);

// Records are small; anything bigger in state_dir is not one of them.
inline constexpr std::size_t kMaxStatusRecordBytes = 65536;

// Reads `state_dir`/`file`; empty when missing or not a record of `bundle`.
[[nodiscard]] std::optional<BundleStatus> readStatusRecord(std::string_view state_dir,
                                                           std::string_view file,
                                                           const Bundle& bundle);

// Creates state_dir (mode 0700) when it is missing, and makes an existing
// one of the agent's user private; warns when it cannot. False, with
// "error(quillstead): state_dir {path} is writable by other users; refusing
// it", when someone else could plant or change records there: the caller
// does not start (or keeps its running configuration).
[[nodiscard]] bool prepareStateDir(std::string_view state_dir);

// Rewrites the record of one bundle; one warning line when that fails.
void writeStatusRecord(std::string_view state_dir, std::string_view file, const Bundle& bundle,
                       const BundleState& state);

// Books one finished cycle into `state.status`: its outcome, its start
// (Unix seconds) and length, what its hooks did, and why it did not end
// well: the error line it ended with, post_sync's reason for hook_failed,
// and for a refused version still offered, the refusal's reason kept.
// `bytes_before` is status.bytes as it was before the cycle, which set
// status.bytes to 0.
void recordCycle(const Bundle& bundle, BundleState& state, SyncOutcome outcome,
                 std::int64_t started, std::uint64_t duration_ms, std::uint64_t bytes_before);

// Sets the status's version and its time from what `current` names, for a
// versioned bundle with such a link: a rollback switches it without the
// agent's knowledge.
void refreshLiveVersion(const Bundle& bundle, BundleStatus& status);

}  // namespace qs
