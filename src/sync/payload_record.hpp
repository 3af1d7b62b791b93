#pragma once
// Two small records that some servers make necessary beside the ETag
// record: the SHA-256 of the live payload (skip_identical), for farms whose
// servers give one file different ETags, and the Last-Modified of the live
// payload (use_last_modified), for servers that send no ETag at all. They
// live in state_dir when one is configured ("{state_dir}/{name}.digest"),
// else beside the ETag record ("{target_dir}/.digest").

#include <optional>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "sync/bundle_state.hpp"

namespace qs {

enum class PayloadRecord { digest, last_modified };

// The prefix to keep in BundleState::record_prefix: "{state_dir}/{name}."
// with "/" in the name written as "%2F" and "%" as "%25", or empty without
// a state_dir.
[[nodiscard]] std::string recordPrefix(const Bundle& bundle,
                                       const std::optional<std::string>& state_dir);

// The record's path for this bundle and state.
[[nodiscard]] std::string payloadRecordPath(const Bundle& bundle, const BundleState& state,
                                            PayloadRecord record);

// At start-up: fills the state's digest and Last-Modified from their
// records, each only when its key is on. A missing or unreadable record is
// simply no value. Never logs.
void loadPayloadRecords(const Bundle& bundle, BundleState& state);

// Replaces the in-memory value, then the record (through a temporary file
// and rename, so a crash leaves the old record or the new one). An empty
// value removes the record. A record that cannot be written logs
// "warning(bundle): failed to save {what} to {path}: {error}"; nothing here
// fails the caller.
void savePayloadRecord(const Bundle& bundle, BundleState& state, PayloadRecord record,
                       std::string_view value);

}  // namespace qs
