#pragma once
// The keys of the option list as the operator reads them back: in `check`'s
// settings line and in the start-up summary.

#include <string>

#include "config/config.hpp"

namespace qs {

// Which keys a text shows.
enum class OptionsShown { every, limits, settings };

// " key=value" for every key set in `options` that `shown` selects, in list
// order: numbers with their unit, yes/no, text as written, URLs with the
// password masked.
[[nodiscard]] std::string optionsText(const BundleOptions& options, OptionsShown shown);

}  // namespace qs
