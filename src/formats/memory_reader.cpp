#include "formats/memory_reader.hpp"

#include <algorithm>
#include <cstring>

namespace qs {

Result<std::size_t> MemoryReader::read(std::span<char> out) {
    const std::size_t n = std::min(out.size(), bytes_.size());
    if (n > 0) std::memcpy(out.data(), bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
}

}  // namespace qs
