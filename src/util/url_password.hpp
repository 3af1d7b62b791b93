#pragma once
// The one place that decides which bytes of a URL are its password, so that
// the log, status records, "check" and every other text the agent shows
// mask the same bytes: a password never leaves the process.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qs {

// The bytes [begin, end) of `url` that its password takes: after the first
// ":" of the user information, which ends at the last "@" of the authority
// (the authority runs from "//" to the first "/", "?" or "#"). A user
// information with a ":" and nothing after it has an empty place: it is
// masked all the same, so that "u:@h" and "u:x@h" look alike. Nullopt when
// the URL has no ":" in a user information, or no "//" at all.
struct PasswordPlace {
    std::size_t begin = 0;
    std::size_t end = 0;
};
[[nodiscard]] std::optional<PasswordPlace> findUrlPassword(std::string_view url);

// `url` with its password place written as "***"; otherwise as given.
[[nodiscard]] std::string redactPassword(std::string_view url);

}  // namespace qs
