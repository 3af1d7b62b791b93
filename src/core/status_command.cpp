#include "core/status_command.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

#include "config/load_config.hpp"
#include "core/status_records.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "platform/process_state.hpp"
#include "platform/standard_streams.hpp"
#include "sync/etag_store.hpp"
#include "util/terminal_text.hpp"

namespace qs {

namespace {

constexpr int kStdout = 1;
// Exit status when a bundle is failing or has never run; 1 stays the status
// of a configuration the command cannot use.
constexpr int kNotAllOk = 2;

enum class State { ok, failing, never_run };

std::string_view stateWord(State state) {
    switch (state) {
    case State::ok: return "ok";
    case State::failing: return "failing";
    case State::never_run: return "never run";
    }
    return "never run";
}

std::string_view stateColour(State state) {
    switch (state) {
    case State::ok: return "\x1b[32m";
    case State::failing: return "\x1b[31m";
    case State::never_run: return "\x1b[33m";
    }
    return "";
}

// A bundle whose new settings could not be used fails whatever its cycles
// on the previous ones come to.
State stateOf(const BundleStatus& status) {
    if (status.settings_error) return State::failing;
    if (status.last_attempt == 0) return State::never_run;
    return status.result == "failed" ? State::failing : State::ok;
}

// "42s ago", "5m ago", "3h ago", "2d ago"; "never" for 0; "in the future"
// when the clock went back.
std::string age(std::int64_t then, std::int64_t now) {
    if (then == 0) return "never";
    if (now < then) return "in the future";
    const std::int64_t seconds = now - then;
    struct Unit {
        std::int64_t seconds;
        char letter;
    };
    constexpr Unit kUnits[] = {{86400, 'd'}, {3600, 'h'}, {60, 'm'}};
    for (const Unit& unit : kUnits) {
        if (seconds >= unit.seconds) return std::to_string(seconds / unit.seconds) + unit.letter + " ago";
    }
    return std::to_string(seconds) + "s ago";
}

std::string cell(std::string_view text) { return maskControlBytes(text); }

// Display width: UTF-8 continuation bytes take no column.
std::size_t width(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }));
}

// One status record per bundle, as state_dir holds them, one per line; a
// bundle without a record gets the record of a bundle that never ran.
std::string jsonLines(const Config& config, std::span<const std::string> files, bool& all_ok) {
    std::string out;
    for (std::size_t i = 0; i < config.bundles.size(); ++i) {
        const Bundle& bundle = config.bundles[i];
        const auto record = readStatusRecord(*config.state_dir, files[i], bundle);
        if (!record || stateOf(*record) != State::ok) all_ok = false;
        out += renderStatusRecord(bundle, record ? *record : BundleStatus{},
                                  loadEtag(bundle.target_dir));
    }
    return out;
}

int status(std::string_view config_path, bool json) {
    auto loaded = loadConfig(config_path);
    if (!loaded) {
        if (loaded.error().failure == ConfigFailure::read_failed) {
            log::startupError(loaded.error().error);
        }
        return 1;
    }
    const Config& config = *loaded;
    if (!config.state_dir) {
        log::error(log::Scope::quillstead, "no state_dir in ", config_path,
                   ": the agent keeps no status records");
        return 1;
    }
    const auto files = statusFileNames(config.bundles);
    if (json) {
        bool all_ok = true;
        const std::string out = jsonLines(config, files, all_ok);
        if (auto written = platform::writeAll(kStdout, out); !written) {
            log::startupError(written.error());
            return 1;
        }
        return all_ok ? 0 : kNotAllOk;
    }
    const std::int64_t now = platform::wallClockSeconds();
    constexpr std::size_t kColumns = 7;
    using Row = std::array<std::string, kColumns>;
    std::vector<Row> rows;
    std::vector<State> states;
    rows.push_back({"BUNDLE", "STATE", "VERSION", "LAST SUCCESS", "LAST ATTEMPT", "FAILURES",
                    "LAST ERROR"});
    states.push_back(State::ok);
    bool all_ok = true;
    for (std::size_t i = 0; i < config.bundles.size(); ++i) {
        const Bundle& bundle = config.bundles[i];
        const auto record = readStatusRecord(*config.state_dir, files[i], bundle);
        const State state = record ? stateOf(*record) : State::never_run;
        if (state != State::ok) all_ok = false;
        const BundleStatus none;
        const BundleStatus& s = record ? *record : none;
        // Settings that could not be used outweigh the last cycle's error:
        // the bundle stays failing after cycles on its previous settings.
        const std::optional<std::string>& why = s.settings_error ? s.settings_error : s.last_error;
        rows.push_back({cell(bundle.name), std::string(stateWord(state)),
                        s.version.empty() ? "-" : cell(s.version), age(s.last_success, now),
                        age(s.last_attempt, now), std::to_string(s.consecutive_failures),
                        why ? cell(*why) : "-"});
        states.push_back(state);
    }
    std::array<std::size_t, kColumns> widths{};
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < kColumns; ++c) widths[c] = std::max(widths[c], width(row[c]));
    }
    const bool colour = platform::isTerminal(kStdout);
    std::string out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < kColumns; ++c) {
            const std::string& text = rows[r][c];
            const bool coloured = colour && r > 0 && c == 1;
            if (coloured) out += stateColour(states[r]);
            out += text;
            if (coloured) out += "\x1b[0m";
            // The last column runs to the end of the line.
            if (c + 1 < kColumns) out.append(widths[c] - width(text) + 2, ' ');
        }
        out += '\n';
    }
    if (auto written = platform::writeAll(kStdout, out); !written) {
        log::startupError(written.error());
        return 1;
    }
    return all_ok ? 0 : kNotAllOk;
}

}  // namespace

int runStatus(const Invocation& invocation) {
    return status(invocation.config_path, invocation.hasOption("--json"));
}

}  // namespace qs
