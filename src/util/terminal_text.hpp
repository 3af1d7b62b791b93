#pragma once
// Text from outside (version names from a server's ETag, error messages)
// on its way to a terminal or a table.

#include <string>
#include <string_view>

namespace qs {

// Every byte as given but the control bytes (below 0x20, and DEL), which
// would break a row or drive the terminal (ESC sequences, BEL): each of
// those becomes "?".
[[nodiscard]] std::string maskControlBytes(std::string_view text);

}  // namespace qs
