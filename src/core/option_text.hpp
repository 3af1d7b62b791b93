#pragma once
// A bundle's keys as the operator reads them back: in `check`'s settings
// line, in the start-up summary and in what a reload changed.

#include <string>

#include "config/config.hpp"

namespace qs {

// Which keys a text shows.
enum class OptionsShown { every, limits, settings };

// " key=value" for every key set in `options` that `shown` selects, in list
// order: numbers with their unit, yes/no, text as written, URLs with the
// password masked.
[[nodiscard]] std::string optionsText(const BundleOptions& options, OptionsShown shown);

// What a reload changes of a bundle, for its "changed:" line: "key before
// -> after" for every setting that differs, joined by ", ", in the order
// of the file's keys then the list's ("poll_interval 10 -> 15, url
// http://a/x -> http://b/x"). Numbers with their unit, an absent value as
// "(none)", an empty one as "''", URLs with the password masked; the
// authorization header's value is a secret and never shown.
[[nodiscard]] std::string settingsChanges(const Bundle& before, const Bundle& after);

}  // namespace qs
