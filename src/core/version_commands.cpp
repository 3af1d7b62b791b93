#include "core/version_commands.hpp"

#include <optional>
#include <string>

#include "config/load_config.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "sync/version_store.hpp"
#include "util/json.hpp"
#include "util/terminal_text.hpp"

namespace qs {

namespace {

using log::Scope;

constexpr int kStdout = 1;

// The bundle the first operand names, from a freshly loaded configuration;
// nothing (and the reason logged) when there is none.
std::optional<Bundle> namedBundle(const Invocation& invocation, std::string_view command) {
    if (invocation.operands.empty()) {
        log::error(Scope::quillstead, command, " needs a bundle name");
        return std::nullopt;
    }
    auto loaded = loadConfig(invocation.config_path);
    if (!loaded) {
        if (loaded.error().failure == ConfigFailure::read_failed) {
            log::startupError(loaded.error().error);
        }
        return std::nullopt;
    }
    const std::string_view name = invocation.operands[0];
    for (Bundle& bundle : loaded->bundles) {
        if (bundle.name == name) return std::move(bundle);
    }
    log::error(Scope::quillstead, "unknown bundle: ", name);
    return std::nullopt;
}

int print(std::string_view text) {
    if (auto written = platform::writeAll(kStdout, text); !written) {
        log::startupError(written.error());
        return 1;
    }
    return 0;
}

}  // namespace

int runVersions(const Invocation& invocation) {
    const auto bundle = namedBundle(invocation, "versions");
    if (!bundle) return 1;
    const bool json = invocation.hasOption("--json");
    std::string text;
    for (const KeptVersion& version : listVersions(*bundle)) {
        if (json) {
            // One object per kept version, newest first, as the plain form.
            text += "{\"name\":\"";
            escapeJsonString(version.name, [&text](std::string_view piece) { text += piece; });
            text.append("\",\"live\":").append(version.live ? "true" : "false").append("}\n");
        } else {
            text.append(version.live ? "* " : "  ").append(maskControlBytes(version.name)).append("\n");
        }
    }
    return print(text);
}

int runRollback(const Invocation& invocation) {
    const auto bundle = namedBundle(invocation, "rollback");
    if (!bundle) return 1;
    std::optional<std::string_view> version;
    if (invocation.operands.size() > 1) version = invocation.operands[1];
    const auto rolled = rollbackVersion(*bundle, version);
    if (!rolled) return 1;
    const std::string was = rolled->from.empty() ? std::string("nothing") : maskControlBytes(rolled->from);
    return print("[" + bundle->name + "] current -> " + maskControlBytes(rolled->to) + " (was " + was +
                 ")\n");
}

}  // namespace qs
