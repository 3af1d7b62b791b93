#pragma once
// Room in a string for bytes about to be written into it.

#include <cstddef>
#include <string>

namespace qs {

// Sets `bytes`'s size to `size`, leaving what lies past its old size as the
// allocation had it instead of filling it with zeros: for a caller that
// writes every byte of that room before it reads any (a read from a file, a
// decoder's output), where the filling would cost about as much as the
// writing itself. Throws std::bad_alloc like resize().
inline void resizeForOverwrite(std::string& bytes, std::size_t size) {
    // libstdc++ 12 hands the callback the capacity it allocated, which may
    // be more than `size`: the size asked for is the one kept.
    bytes.resize_and_overwrite(size, [size](char*, std::size_t) { return size; });
}

}  // namespace qs
