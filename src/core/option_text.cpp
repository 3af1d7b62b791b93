#include "core/option_text.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "util/integer_text.hpp"
#include "util/url_password.hpp"

namespace qs {

namespace {

bool selected(const OptionKey& row, OptionsShown shown) {
    switch (shown) {
    case OptionsShown::every: return true;
    case OptionsShown::limits: return row.shown == OptionShown::limits;
    case OptionsShown::settings: return row.shown == OptionShown::settings;
    }
    return true;
}

template <class Unsigned>
std::string valueText(const OptionKey& row, Unsigned value) {
    return std::to_string(value) + std::string(row.unit);
}

std::string valueText(const OptionKey&, bool value) { return value ? "yes" : "no"; }

std::string valueText(const OptionKey&, TlsProfileSetting value) {
    return value == TlsProfileSetting::compatible ? "compatible" : "baseline";
}

std::string valueText(const OptionKey& row, const std::string& value) {
    return row.kind == OptionKind::url ? redactPassword(value) : value;
}

constexpr std::string_view kAbsent = "(none)";

// A setting's value in a "changed:" line.
std::string shown(std::string_view text) { return text.empty() ? "''" : std::string(text); }

std::string shownOptional(const std::optional<std::string>& text) {
    return text ? shown(*text) : std::string(kAbsent);
}

class ChangeList {
public:
    void add(std::string_view key, const std::string& before, const std::string& after) {
        if (before == after) return;
        if (!text_.empty()) text_ += ", ";
        text_.append(key).append(" ").append(before).append(" -> ").append(after);
    }
    // For a secret: that it changed, not what it was or became.
    void addHidden(std::string_view key, bool changed) {
        if (!changed) return;
        if (!text_.empty()) text_ += ", ";
        text_.append(key).append(" (value not shown)");
    }
    // For a URL, shown with its password masked: a change of the password
    // alone still shows, though not what it is.
    void addUrl(std::string_view key, const std::optional<std::string>& before,
                const std::optional<std::string>& after) {
        if (before == after) return;
        const std::string old_text = before ? shown(redactPassword(*before)) : std::string(kAbsent);
        const std::string new_text = after ? shown(redactPassword(*after)) : std::string(kAbsent);
        if (old_text != new_text) {
            add(key, old_text, new_text);
            return;
        }
        if (!text_.empty()) text_ += ", ";
        text_.append(key).append(" ").append(new_text).append(" (password changed)");
    }
    [[nodiscard]] std::string take() { return std::move(text_); }

private:
    std::string text_;
};

std::string modeText(const Bundle& b) { return std::string(deployModeName(b.mode)); }

// As the file says it: a chunked payload's install format follows from filename.
std::string formatText(const Bundle& b) {
    if (b.chunked) return "chunked";
    return b.format == BundleFormat::raw ? "raw" : "archive";
}

std::string extractModeText(const std::optional<std::uint32_t>& bits) {
    return bits ? octalText(*bits) : std::string(kAbsent);
}

}  // namespace

std::string settingsChanges(const Bundle& before, const Bundle& after) {
    ChangeList list;
    list.addUrl("url", before.url, after.url);
    list.add("target_dir", shown(before.target_dir), shown(after.target_dir));
    list.add("poll_interval", std::to_string(before.poll_interval), std::to_string(after.poll_interval));
    list.add("mode", modeText(before), modeText(after));
    list.add("format", formatText(before), formatText(after));
    list.add("filename", shownOptional(before.filename), shownOptional(after.filename));
    list.add("post_sync", shownOptional(before.post_sync), shownOptional(after.post_sync));
    list.addHidden("authorization", before.authorization != after.authorization);
    list.add("extract_owner", shownOptional(before.extract_owner), shownOptional(after.extract_owner));
    list.add("extract_mode", extractModeText(before.extract_mode), extractModeText(after.extract_mode));
    list.add("public_key", shownOptional(before.public_key), shownOptional(after.public_key));
    list.addUrl("signature_url", before.signature_url, after.signature_url);
    list.add("pre_switch", shownOptional(before.pre_switch), shownOptional(after.pre_switch));
    visitOptions(
        [&](const OptionKey& row, const auto& old_value, const auto& new_value) {
            if constexpr (std::is_same_v<std::decay_t<decltype(old_value)>, std::optional<std::string>>) {
                if (row.kind == OptionKind::url) {
                    list.addUrl(row.name, old_value, new_value);
                    return;
                }
            }
            list.add(row.name, old_value ? valueText(row, *old_value) : std::string(kAbsent),
                     new_value ? valueText(row, *new_value) : std::string(kAbsent));
        },
        before.options, after.options);
    std::string text = list.take();
    // A setting this list does not know yet still counts as a change.
    if (text.empty() && !(before == after)) text = "settings";
    return text;
}

std::string optionsText(const BundleOptions& options, OptionsShown shown) {
    std::string text;
    forEachOption(options, [&](const OptionKey& row, const auto& field) {
        if (!field || !selected(row, shown)) return;
        text.append(" ").append(row.name).append("=").append(valueText(row, *field));
    });
    return text;
}

}  // namespace qs
