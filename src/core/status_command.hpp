#pragma once
// "status": the state of every configured bundle, read from the status
// records in state_dir.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/commands.hpp"

namespace qs {

// Prints a table (bundle, state, version, last success, last attempt,
// failures, last error) on standard output, coloured only on a terminal.
// 0 when every bundle is ok, 2 when any is failing or has never run, 1
// without state_dir or a usable configuration.
[[nodiscard]] int runStatus(const Invocation& invocation);

// A past time as the table shows it: "42s ago", "5m ago", "3h ago",
// "2d ago"; "never" for 0; "in the future" when the clock went back.
[[nodiscard]] std::string ageText(std::int64_t then, std::int64_t now);

// The columns `text` takes in a table: UTF-8 continuation bytes take none.
[[nodiscard]] std::size_t displayWidth(std::string_view text);

}  // namespace qs
