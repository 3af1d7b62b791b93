#pragma once
// The small files the agent keeps about its own work (the ETag record,
// payload records, `.versions`, status records, the metrics file): written
// whole under a temporary name and renamed over the old file, so a reader
// sees the old file or the new one, never a part; read back only when they
// are regular files the agent could have written.

#include <cstddef>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs::platform {

// The suffix of the temporary name beside the file being replaced.
inline constexpr std::string_view kRecordTemporarySuffix = ".tmp";

// Whether replaceRecordFile waits for the disk.
enum class RecordFlush {
    // The rename alone: a crash keeps the old file or the new one, but a
    // power loss may lose either.
    none,
    // The data is flushed before the rename and the directory after it, so
    // after a power loss the file holds what it was last replaced with.
    data_and_name,
};

// Replaces `path` with exactly `bytes`: the temporary "`path`.tmp" is
// created only when nothing is under that name (O_EXCL|O_NOFOLLOW; a link,
// FIFO or file left there is removed first, never opened), written, given
// 0666 less the umask, optionally flushed, and renamed over `path`, which
// replaces a link or FIFO there rather than writing through it. On failure
// the temporary is removed and `path` is as it was. Errors: those of
// replaceFileAt, writeAll, syncFile, renamePath and flushDirectory.
[[nodiscard]] Result<void> replaceRecordFile(std::string_view path, std::string_view bytes,
                                             RecordFlush flush = RecordFlush::none);

// Makes the names created, renamed or removed in `directory` durable
// (open, fsync). Errors: those of openDirectory and syncFile.
[[nodiscard]] Result<void> flushDirectory(std::string_view directory);

// A record read back whole: never through a symbolic link, never waiting
// on a FIFO or device. Errors: those of readRegularFileNoFollow (FileTooBig
// beyond `limit`).
[[nodiscard]] Result<std::string> readRecordFile(std::string_view path, std::size_t limit);

// Whether readRecordFile failed because something other than a regular file
// sits under the record's name (a link, FIFO, device or directory): worth a
// warning, since the agent never makes one there.
[[nodiscard]] bool isForeignEntry(Error error);

}  // namespace qs::platform
