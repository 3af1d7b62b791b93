#pragma once
// Writes the files of a gzip-compressed tar archive below a destination
// directory. The archive is decoded as it is written: any Reader (the body
// as it arrives, a spooled file, bytes in memory) -> gzip decoder -> tar
// reader -> one file at a time, so memory stays bounded whatever its size.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "formats/reader.hpp"
#include "util/error.hpp"

namespace qs {

struct ExtractResult {
    // Entries written as regular files (directory entries do not count).
    // Not meaningful when `error` is set.
    std::uint32_t count = 0;
    // TarParseFailed, MakePath, ExtractFailed, ArchiveTooLarge or
    // ArchiveTooManyEntries; NoSpaceLeft or DiskQuota where a file could not
    // be created or written for want of room. The cause is logged.
    std::optional<Error> error;
};

// How the tar stream is wrapped: gzip for a payload published as .tar.gz,
// none for a tar put together from chunks, which are compressed one by one.
enum class ArchiveCoding { gzip, none };

// Caps on what one archive may unpack; absent means no cap. They travel
// with the archive's coding, the other thing an install knows of its
// archive before the first byte.
struct ExtractLimits {
    ArchiveCoding coding = ArchiveCoding::gzip;
    // The sum of the entries' data sizes as their headers give them.
    std::optional<std::uint64_t> max_unpacked_bytes;
    // Every entry counts: files, directories, links.
    std::optional<std::uint64_t> max_entries;
};

// Told of each entry an extraction has written, in archive order, by its
// name relative to the destination with empty and "." components dropped
// ("./a//b" is "a/b"): a caller that moves the tree elsewhere afterwards
// can keep the archive's order. A directory is told only once it exists.
class ExtractObserver {
public:
    enum class Kind { file, directory };
    virtual ~ExtractObserver() = default;
    // A failure ends the extraction with ExtractFailed; the observer logs
    // its own cause.
    [[nodiscard]] virtual Result<void> written(std::string_view relative, Kind kind) = 0;
};

// Extracts `archive` below `destination` (used as text; a trailing "/" just
// doubles the slash in the logged paths). Entry names are joined to it
// without normalisation, but nothing is ever written outside it: a name with
// a ".." component fails the extraction, names resolve through no symbolic
// link (neither a link in the destination nor one left by the archive), and
// every entry becomes a directory or a regular file, never a link. A file is
// always a new inode: whatever non-directory entry had its name (a file, a
// hard or symbolic link, a FIFO) is removed, never opened or written. Each
// file is written at mode 0600 and then gets its mode and owner from
// `extract_mode`/`extract_owner` and the entry's mode (a link entry counts as
// mode 0), or 0666 less the umask when none of them sets one. The first
// failure ends the extraction; whatever was written before stays.
// An entry whose header takes the archive past a limit of `limits` is not
// written: the extraction stops there with ArchiveTooLarge or
// ArchiveTooManyEntries, before reading the entry's data, so a hostile
// archive costs no more than the limits.
[[nodiscard]] ExtractResult extractArchive(std::string_view archive, std::string_view destination,
                                           const std::optional<std::string>& extract_owner,
                                           std::optional<std::uint32_t> extract_mode,
                                           const ExtractLimits& limits = {});

// The same into the open directory `destination_fd` (not owned), the one the
// caller checked, so that nothing swapped in under its name in between is
// written; `destination` is its name for the log lines.
[[nodiscard]] ExtractResult extractArchiveAt(std::string_view archive, int destination_fd,
                                             std::string_view destination,
                                             const std::optional<std::string>& extract_owner,
                                             std::optional<std::uint32_t> extract_mode,
                                             const ExtractLimits& limits = {});

// The same, reading the archive from `archive` to the end of its gzip member
// (the trailer is checked). The files go below `destination`; log lines name
// them below `shown_as`, the directory the files will be seen in once the
// caller has moved `destination` into place.
[[nodiscard]] ExtractResult extractArchive(Reader& archive, std::string_view destination,
                                           std::string_view shown_as,
                                           const std::optional<std::string>& extract_owner,
                                           std::optional<std::uint32_t> extract_mode,
                                           const ExtractLimits& limits = {});

// The streamed form into the open directory `destination_fd` (not owned),
// as extractArchiveAt; `observer`, when given, hears of every entry written.
[[nodiscard]] ExtractResult extractArchiveAt(Reader& archive, int destination_fd,
                                             std::string_view destination,
                                             std::string_view shown_as,
                                             const std::optional<std::string>& extract_owner,
                                             std::optional<std::uint32_t> extract_mode,
                                             const ExtractLimits& limits = {},
                                             ExtractObserver* observer = nullptr);

}  // namespace qs
