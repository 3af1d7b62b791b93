#pragma once
// The release this program is. The build's project line states it once and
// hands it to the compiler as QUILLSTEAD_VERSION.

#include <string_view>

namespace qs {

inline constexpr std::string_view kProgramVersion = QUILLSTEAD_VERSION;

}  // namespace qs
