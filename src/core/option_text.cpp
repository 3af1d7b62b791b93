#include "core/option_text.hpp"

#include "util/url_password.hpp"

namespace qs {

namespace {

bool selected(const OptionKey& spec, OptionsShown shown) {
    switch (shown) {
    case OptionsShown::every: return true;
    case OptionsShown::limits: return spec.shown == OptionShown::limits;
    case OptionsShown::settings: return spec.shown == OptionShown::settings;
    }
    return true;
}

template <class Unsigned>
std::string valueText(const OptionKey& spec, Unsigned value) {
    return std::to_string(value) + std::string(spec.unit);
}

std::string valueText(const OptionKey&, bool value) { return value ? "yes" : "no"; }

std::string valueText(const OptionKey& spec, const std::string& value) {
    return spec.kind == OptionKind::url ? redactPassword(value) : value;
}

}  // namespace

std::string optionsText(const BundleOptions& options, OptionsShown shown) {
    std::string text;
    forEachOption(options, [&](const OptionKey& spec, const auto& field) {
        if (!field || !selected(spec, shown)) return;
        text.append(" ").append(spec.name).append("=").append(valueText(spec, *field));
    });
    return text;
}

}  // namespace qs
