#pragma once
// The ETag record: the ETag of the last payload installed for a bundle, kept
// in "{target_dir}/.etag" so that a restarted agent asks conditionally
// instead of downloading and installing the same payload again.

#include <cstddef>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "sync/bundle_state.hpp"

namespace qs {

// An ETag is a short header value; a record larger than this was not
// written by the agent for a sane server, and it is not worth sending.
inline constexpr std::size_t kMaxEtagRecordBytes = 256;

// The record's contents with surrounding white space removed, or the empty
// string (no ETag) when the record is missing, unreadable, not a regular
// file (a symbolic link, a FIFO), larger than kMaxEtagRecordBytes, holds a
// control byte (below 0x20 except tab, or 0x7F) inside what is left, or its path is too
// long. Never logs.
[[nodiscard]] std::string loadEtag(std::string_view target_dir);

// How the record reaches the disk: `flushed` (a bundle with durable = yes)
// also flushes the new file before the rename and target_dir after it, so
// after a power loss the record names an install that is on the disk.
enum class Durability { plain, flushed };

// Replaces the in-memory ETag first, then the record with exactly the new
// ETag's bytes (an empty ETag gives an empty file): written to a new file
// ".etag.tmp" beside it (0600 until written, then 0666 less the umask) and
// renamed over it, so no link or FIFO under either name is followed and the
// record is never seen half-written. A record that cannot be replaced logs a
// warning; nothing here fails the caller.
void saveEtag(std::string_view target_dir, BundleState& state, std::string_view new_etag,
              Durability durability = Durability::plain);

}  // namespace qs
