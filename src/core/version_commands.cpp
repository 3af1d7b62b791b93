#include "core/version_commands.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "config/load_config.hpp"
#include "core/status_command.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "platform/file_lock.hpp"
#include "platform/process_state.hpp"
#include "sync/target_lock.hpp"
#include "sync/version_pin.hpp"
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

// The versioned bundle a command names; nothing (and the reason logged)
// for an unknown name or a raw or direct bundle, which keep no versions.
std::optional<Bundle> versionedBundle(const Invocation& invocation, std::string_view command) {
    auto bundle = namedBundle(invocation, command);
    if (!bundle) return std::nullopt;
    if (bundle->format == BundleFormat::raw || bundle->mode == DeployMode::direct) {
        log::error(Scope::quillstead, "[", bundle->name, "] not a versioned bundle");
        return std::nullopt;
    }
    return bundle;
}

// Bytes for a reader: "512 B", "4.0 KiB", "1.3 MiB", "2.0 GiB"; one
// decimal below ten units, none above, as du -h rounds.
std::string byteSize(std::uint64_t bytes) {
    constexpr std::array<std::string_view, 6> kUnits = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    std::size_t unit = 0;
    double value = static_cast<double>(bytes);
    while (value >= 1024.0 && unit + 1 < kUnits.size()) {
        value /= 1024.0;
        ++unit;
    }
    std::array<char, 32> buffer{};
    const int length = std::snprintf(buffer.data(), buffer.size(), value < 9.95 ? "%.1f %s" : "%.0f %s",
                                     value, std::string(kUnits[unit]).c_str());
    return std::string(buffer.data(), static_cast<std::size_t>(std::max(length, 0)));
}

}  // namespace

int runVersions(const Invocation& invocation) {
    const auto bundle = versionedBundle(invocation, "versions");
    if (!bundle) return 1;
    const bool json = invocation.hasOption("--json");
    const std::int64_t now = platform::wallClockSeconds();
    std::string text;
    constexpr std::size_t kColumns = 3;
    using Row = std::array<std::string, kColumns>;
    std::vector<Row> rows;
    std::vector<bool> live;
    if (!json) {
        rows.push_back({"VERSION", "WENT LIVE", "SIZE"});
        live.push_back(false);
    }
    for (const KeptVersion& version : listVersions(*bundle)) {
        const VersionUsage usage = versionUsage(bundle->target_dir, version);
        if (json) {
            // One object per kept version, newest first, as the plain form;
            // times in Unix seconds as status --json gives them, sizes in
            // bytes, null for what is not known.
            text += "{\"name\":\"";
            escapeJsonString(version.name, [&text](std::string_view piece) { text += piece; });
            text.append("\",\"live\":").append(version.live ? "true" : "false");
            text.append(",\"went_live\":")
                .append(usage.went_live == 0 ? "null" : std::to_string(usage.went_live));
            text.append(",\"bytes\":")
                .append(usage.bytes ? std::to_string(*usage.bytes) : std::string("null"))
                .append("}\n");
        } else {
            rows.push_back({maskControlBytes(version.name),
                            usage.went_live == 0 ? "-" : ageText(usage.went_live, now),
                            usage.bytes ? byteSize(*usage.bytes) : "-"});
            live.push_back(version.live);
        }
    }
    if (!json) {
        std::array<std::size_t, kColumns> widths{};
        for (const Row& row : rows) {
            for (std::size_t c = 0; c < kColumns; ++c) widths[c] = std::max(widths[c], displayWidth(row[c]));
        }
        for (std::size_t r = 0; r < rows.size(); ++r) {
            text += live[r] ? "* " : "  ";
            for (std::size_t c = 0; c < kColumns; ++c) {
                text += rows[r][c];
                // The last column runs to the end of the line.
                if (c + 1 < kColumns) text.append(widths[c] - displayWidth(rows[r][c]) + 2, ' ');
            }
            text += '\n';
        }
    }
    return print(text);
}

int runRollback(const Invocation& invocation) {
    const auto bundle = versionedBundle(invocation, "rollback");
    if (!bundle) return 1;
    std::optional<std::string_view> version;
    if (invocation.operands.size() > 1) version = invocation.operands[1];
    // Never beside an agent that is installing or switching this bundle:
    // the switch would be undone under its feet, or undo its install.
    const TargetLock lock = TargetLock::take(*bundle, platform::LockWait::wait, MissingTarget::leave);
    if (lock.state() == TargetLock::State::interrupted) return 1;
    const auto hooks = invocation.hasOption("--no-hooks") ? RollbackHooks::skip : RollbackHooks::run;
    const auto rolled = rollbackVersion(*bundle, version, hooks);
    if (!rolled) return 1;
    const std::string was =
        rolled->from.empty() ? std::string("nothing") : maskControlBytes(shownVersion(rolled->from));
    return print("[" + bundle->name + "] current -> " + maskControlBytes(shownVersion(rolled->to)) +
                 " (was " + was + ")\n");
}

int runPin(const Invocation& invocation) {
    const auto bundle = versionedBundle(invocation, "pin");
    if (!bundle) return 1;
    if (invocation.operands.size() < 2) {
        log::error(Scope::quillstead, "pin needs a bundle name and a version");
        return 1;
    }
    const TargetLock lock = TargetLock::take(*bundle, platform::LockWait::wait, MissingTarget::leave);
    if (lock.state() == TargetLock::State::interrupted) return 1;
    // The pinned version goes live as by rollback (hooks and all) when
    // it is not live already; a refusal leaves the bundle unpinned.
    std::array<char, kMaxSystemPath> buffer;
    const auto live = readCurrent(bundle->target_dir, buffer);
    const std::string_view wanted = invocation.operands[1];
    std::string pinned;
    if (live && isVersionDirName(*live) && (live->substr(1) == wanted || *live == wanted)) {
        pinned = *live;
    } else {
        const auto rolled = rollbackVersion(*bundle, wanted, RollbackHooks::run);
        if (!rolled) return 1;
        pinned = rolled->to;
    }
    if (auto saved = savePin(bundle->target_dir, pinned); !saved) {
        log::error(Scope::quillstead, "[", bundle->name, "] failed to save pin in ", bundle->target_dir,
                   ": ", saved.error());
        return 1;
    }
    return print("[" + bundle->name + "] pinned to " + maskControlBytes(shownVersion(pinned)) + "\n");
}

int runUnpin(const Invocation& invocation) {
    const auto bundle = versionedBundle(invocation, "unpin");
    if (!bundle) return 1;
    const TargetLock lock = TargetLock::take(*bundle, platform::LockWait::wait, MissingTarget::leave);
    if (lock.state() == TargetLock::State::interrupted) return 1;
    const bool was_pinned = removePin(bundle->target_dir);
    return print("[" + bundle->name + (was_pinned ? "] unpinned\n" : "] was not pinned\n"));
}

}  // namespace qs
