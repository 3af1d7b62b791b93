#pragma once
// Decompression of one stored chunk (a zstd frame, as casync writes its
// .cacnk files) into memory, never past a bound: a chunk's size is known
// from its index, so a frame that would decode to more is refused as soon as
// it passes the bound instead of being allowed to fill memory. This is the
// one place that knows the zstd library.

#include <cstddef>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

// Decodes `compressed` (one or more complete zstd frames) into `out`, which
// is replaced and may be reused between chunks to keep its capacity.
// NotZstd when the bytes do not start as a zstd frame; Overflow as soon as
// the output would exceed `limit`; InvalidFormat for a corrupt or truncated
// frame or bytes after the last frame; OutOfMemory when the decoder's state
// cannot be had.
[[nodiscard]] Result<void> decompressZstd(std::string_view compressed, std::size_t limit,
                                          std::string& out);

}  // namespace qs
