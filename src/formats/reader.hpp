#pragma once
// The one byte-stream interface shared by the network side and the archive
// side: sockets, TLS, body framing, the inflater and the memory reader are all
// Readers, and each decorates the one below it.

#include <cstddef>
#include <span>

#include "util/error.hpp"

namespace qs {

class Reader {
public:
    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    virtual ~Reader() = default;

    // Reads up to out.size() bytes; 0 means the end of the stream (or an
    // empty `out`).
    [[nodiscard]] virtual Result<std::size_t> read(std::span<char> out) = 0;
};

}  // namespace qs
