#pragma once
// URLs as the agent shows them outside the log: in status records and in
// the report of "check". A password in the URL never leaves the process.

#include <string>
#include <string_view>

namespace qs {

// `url` with the password of its user information replaced by "***"; a URL
// without one (or one that does not parse) is returned as it is.
[[nodiscard]] std::string redactPassword(std::string_view url);

}  // namespace qs
