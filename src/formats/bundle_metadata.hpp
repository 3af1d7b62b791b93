#pragma once
// The metadata file a publisher signs beside a payload: which bundle it is,
// which publication (a serial that only grows), until when it may be
// trusted, and the size and SHA-256 of the payload as served. One
// "key: value" line per field, each exactly once, in any order; a line the
// agent does not know is refused rather than passed over, since a field it
// skipped could be one the publisher relies on.
//
//   bundle: site
//   serial: 1733822400
//   expires: 2026-12-17T00:00:00Z
//   size: 104857600
//   sha256: 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

// A metadata file is five short lines; anything far larger is not one, and
// the fetch stops there instead of holding what a server sends.
inline constexpr std::size_t kMaxMetadataBytes = 4096;

struct BundleMetadata {
    std::string bundle;
    // Positive; a later publication has a larger one.
    std::uint64_t serial = 0;
    // Unix seconds (UTC) after which the file is no longer trusted.
    std::int64_t expires = 0;
    std::uint64_t size = 0;
    // 64 lower-case hexadecimal digits.
    std::string sha256;

    bool operator==(const BundleMetadata&) const = default;
};

// Reads a metadata file. Lines end with LF (the last one may lack it); each
// is "key: value" with one space after the colon and nothing around the
// value. `bundle` is 1 to 255 visible ASCII characters; `serial` and `size`
// are plain decimal digits (serial above 0, both within 64 bits); `expires`
// is an RFC 3339 time in UTC ("Z"), fractions of a second dropped; `sha256`
// is 64 lower-case hexadecimal digits.
// Errors: MetadataLineUnknown (a key it does not know), MetadataLineDuplicate,
// MetadataLineMissing (a field without its line), MetadataLineMalformed (a
// line that is not "key: value", an empty line, a CR, a value that does not
// parse).
[[nodiscard]] Result<BundleMetadata> parseBundleMetadata(std::string_view text);

// The file for `metadata`, in the order above, each line ended by LF.
[[nodiscard]] std::string formatBundleMetadata(const BundleMetadata& metadata);

// "2026-12-17T00:00:00Z" <-> Unix seconds. Parsing takes 'T'/'t' and
// 'Z'/'z' and drops a fraction of a second; other offsets, leap seconds and
// dates that do not exist are refused (InvalidFormat). Years 1970 to 9999.
[[nodiscard]] Result<std::int64_t> parseUtcTime(std::string_view text);
[[nodiscard]] std::string formatUtcTime(std::int64_t seconds);

}  // namespace qs
