// libFuzzer target for the signed-metadata reader: any text either is
// refused or reads back to the same fields from the file the publisher's
// command would print for them, so what is signed and what is checked never
// differ; every time it accepts prints as a time it accepts again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/bundle_metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = qs::parseBundleMetadata(text);
    if (parsed) {
        const auto again = qs::parseBundleMetadata(qs::formatBundleMetadata(*parsed));
        if (!again || !(*again == *parsed)) std::abort();
    }
    if (const auto seconds = qs::parseUtcTime(text)) {
        const auto back = qs::parseUtcTime(qs::formatUtcTime(*seconds));
        if (!back || *back != *seconds) std::abort();
    }
    return 0;
}
