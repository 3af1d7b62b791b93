#pragma once
// What the agent remembers of the signed metadata it installed from, in
// target_dir/.serials beside `.versions`: the serial and SHA-256 of each
// version it installed (newest last), and the highest serial it ever
// installed. The live version's serial is the one a newer metadata must
// not go below; the highest one is what a rolled-back bundle waits to see
// passed before it moves forward again, so the next poll does not undo an
// operator's rollback by installing the same bad release.
//
//   highest 1733822400
//   1733822400 9f86...0a08 v20261210-abc
//   1733736000 2c26...e7ae -

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "util/error.hpp"

namespace qs {

inline constexpr std::string_view kSerialRecordName = ".serials";

// The name an entry of a direct or raw bundle has: it has one live payload
// and no version directories.
inline constexpr std::string_view kUnversionedEntry = "-";

struct SerialEntry {
    std::uint64_t serial = 0;
    std::string sha256;
    // The version directory `current` names ("v..."), or kUnversionedEntry.
    std::string name;
    bool operator==(const SerialEntry&) const = default;
};

struct SerialRecord {
    std::uint64_t highest = 0;
    std::vector<SerialEntry> entries;
    bool operator==(const SerialRecord&) const = default;
};

// The record of target_dir; empty when there is none or it cannot be read
// (then the first metadata is taken as it comes, as on a first install).
// Lines that do not parse are dropped.
[[nodiscard]] SerialRecord loadSerialRecord(std::string_view target_dir);

// Replaces the record (a temporary file and a rename; flushed with
// `durable`). Keeps the newest kMaxSerialEntries entries.
[[nodiscard]] Result<void> saveSerialRecord(std::string_view target_dir, const SerialRecord& record,
                                            bool durable);

// The entry of the live version: for a versioned bundle the newest entry
// named like the directory `current` points to, otherwise the newest entry.
[[nodiscard]] std::optional<SerialEntry> liveEntry(const Bundle& bundle, const SerialRecord& record);

// Records `entry` as what went live: appended (an older entry of the same
// name goes), and the highest serial raised to it.
void recordLive(SerialRecord& record, SerialEntry entry);

// The name the live version has in the record, read from the bundle's
// `current` link for a versioned bundle; empty when there is none.
[[nodiscard]] std::string liveName(const Bundle& bundle);

}  // namespace qs
