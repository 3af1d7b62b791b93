#include "config/config.hpp"

namespace qs {

void BundleOptions::inheritFrom(const BundleOptions& defaults) {
#define QS_OPTION_INHERIT(key, ...) \
    if (!key && defaults.key) key = defaults.key;
    QS_BUNDLE_OPTION_KEYS(QS_OPTION_INHERIT)
#undef QS_OPTION_INHERIT
}

bool BundleOptions::any() const {
    bool set = false;
    forEachOption(*this, [&set](const OptionKey&, const auto& field) { set = set || field.has_value(); });
    return set;
}

std::string_view deployModeName(DeployMode mode) {
    switch (mode) {
    case DeployMode::versioned: return "versioned";
    case DeployMode::direct: return "direct";
    }
    return "versioned";
}

}  // namespace qs
