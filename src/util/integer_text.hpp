#pragma once
// Integer text as the configuration, ownership and tar code read it: an
// optional "+", digits of the radix with single underscores between them
// ("1_000" is 1000), and "-" only before an all-zero number.

#include <cstdint>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

enum class IntegerWidth : unsigned { bits32 = 32, bits64 = 64 };

// InvalidCharacter for an empty text, a lone sign, a misplaced underscore, a
// non-digit or a negative non-zero value; Overflow beyond the width.
[[nodiscard]] Result<std::uint64_t> parseUnsigned(std::string_view text, unsigned radix,
                                                  IntegerWidth width);

// A mode as chmod takes it: octal digits, at least four ("0644", "4755").
[[nodiscard]] std::string octalText(std::uint64_t value);

}  // namespace qs
