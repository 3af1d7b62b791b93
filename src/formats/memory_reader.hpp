#pragma once

#include <string_view>

#include "formats/reader.hpp"

namespace qs {

// Reads a byte string held in memory (the downloaded body); never fails.
class MemoryReader final : public Reader {
public:
    explicit MemoryReader(std::string_view bytes) : bytes_(bytes) {}
    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;
    [[nodiscard]] std::size_t remaining() const { return bytes_.size(); }

private:
    std::string_view bytes_;
};

}  // namespace qs
