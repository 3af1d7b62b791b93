#pragma once
// The agent's environment, read where a key asks for it (proxy = env).

#include <optional>
#include <string_view>

namespace qs::platform {

// The value of the environment variable `name` (which may be empty), or
// none when it is not set. The text stays valid while the environment is
// not changed, which the agent never does.
[[nodiscard]] std::optional<std::string_view> environmentVariable(const char* name);

}  // namespace qs::platform
