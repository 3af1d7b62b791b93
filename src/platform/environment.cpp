#include "platform/environment.hpp"

#include <cstdlib>

namespace qs::platform {

std::optional<std::string_view> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace qs::platform
