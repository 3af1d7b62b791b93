#include "core/status_command.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

#include "config/load_config.hpp"
#include "core/agent_record.hpp"
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

// How a bundle stands for `status`: fine, wanting an operator's eye (its
// last cycle's outcome says why), not polled for longer than its schedule
// and limits allow, or never polled.
enum class State { ok, failing, stale, never_run };

std::string_view stateColour(State state) {
    switch (state) {
    case State::ok: return "\x1b[32m";
    case State::failing: return "\x1b[31m";
    case State::stale:
    case State::never_run: return "\x1b[33m";
    }
    return "";
}

// The loop passes once a second at most, and a pass polls its due bundles
// one after another: a few seconds of grace on top of what the schedule
// and the limits allow.
constexpr std::int64_t kPassGraceSeconds = 10;

// How long after its last poll a bundle is stale: twice its interval plus
// what its time limits let a cycle and its retries take.
std::int64_t staleAfterSeconds(const Bundle& bundle) {
    const BundleOptions& o = bundle.options;
    const std::int64_t interval = bundle.poll_interval;
    const std::int64_t fetch = o.max_fetch_time
                                   ? std::int64_t{*o.max_fetch_time}
                                   : std::int64_t{o.connect_timeout.value_or(0)} + o.io_timeout.value_or(0);
    const std::int64_t hooks = 2 * std::int64_t{o.hook_timeout.value_or(0)};
    const std::int64_t jitter = interval * o.poll_jitter.value_or(0) / 100;
    return 2 * interval + fetch + hooks + o.retry_backoff.value_or(0) + jitter + kPassGraceSeconds;
}

struct BundleView {
    State state = State::never_run;
    // What the STATE column shows: the outcome word, "stale" or "never run".
    std::string word = "never run";
};

BundleView viewOf(const Bundle& bundle, const std::optional<BundleStatus>& record, std::int64_t now) {
    BundleView view;
    // A bundle whose new settings could not be used fails whatever its
    // cycles on the previous ones come to.
    if (record && record->settings_error) {
        view.state = State::failing;
        view.word = "failing";
        return view;
    }
    if (!record || record->last_attempt == 0) return view;
    if (now - record->last_attempt > staleAfterSeconds(bundle)) {
        view.state = State::stale;
        view.word = "stale";
        return view;
    }
    view.word = record->result.empty() ? std::string("failing") : record->result;
    // A pinned bundle is where its operator wants it.
    const bool good = record->result == "installed" || record->result == "unchanged" ||
                      record->result == "pinned";
    view.state = good ? State::ok : State::failing;
    return view;
}

// A record as `status` shows it: the version `current` names now, which a
// rollback may have changed since the agent wrote the record.
std::optional<BundleStatus> currentRecord(const Config& config, std::string_view file,
                                          const Bundle& bundle) {
    auto record = readStatusRecord(*config.state_dir, file, bundle);
    if (record) refreshLiveVersion(bundle, *record);
    return record;
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

// One status record per bundle, as state_dir holds them (with the live
// version as `current` names it), one per line, each with its state word
// added; a bundle without a record gets the record of a bundle that never
// ran.
std::string jsonLines(const Config& config, std::span<const std::string> files, std::int64_t now,
                      bool& all_ok) {
    std::string out;
    for (std::size_t i = 0; i < config.bundles.size(); ++i) {
        const Bundle& bundle = config.bundles[i];
        const auto record = currentRecord(config, files[i], bundle);
        const BundleView view = viewOf(bundle, record, now);
        if (view.state != State::ok) all_ok = false;
        out += renderStatusRecord(bundle, record ? *record : BundleStatus{},
                                  loadEtag(bundle.target_dir), view.word);
    }
    return out;
}

// "agent not running (pid 123, last pass 45s ago)" when state_dir names an
// agent that is gone; empty when it runs or none ever wrote its record.
std::string agentLine(const Config& config, std::int64_t now) {
    const auto agent = readAgentRecord(*config.state_dir);
    if (!agent || agentRunning(*config.state_dir, *agent)) return {};
    return "agent not running (pid " + std::to_string(agent->pid) + ", last pass " +
           age(agent->last_pass, now) + ")";
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
    const std::int64_t now = platform::wallClockSeconds();
    const std::string agent = agentLine(config, now);
    bool all_ok = agent.empty();
    if (json) {
        // Standard output stays one record a line.
        if (!agent.empty()) log::plainLine(agent);
        const std::string out = jsonLines(config, files, now, all_ok);
        if (auto written = platform::writeAll(kStdout, out); !written) {
            log::startupError(written.error());
            return 1;
        }
        return all_ok ? 0 : kNotAllOk;
    }
    constexpr std::size_t kColumns = 8;
    using Row = std::array<std::string, kColumns>;
    std::vector<Row> rows;
    std::vector<State> states;
    rows.push_back({"BUNDLE", "STATE", "VERSION", "LIVE SINCE", "LAST SUCCESS", "LAST ATTEMPT",
                    "FAILURES", "LAST ERROR"});
    states.push_back(State::ok);
    for (std::size_t i = 0; i < config.bundles.size(); ++i) {
        const Bundle& bundle = config.bundles[i];
        const auto record = currentRecord(config, files[i], bundle);
        const BundleView view = viewOf(bundle, record, now);
        if (view.state != State::ok) all_ok = false;
        const BundleStatus none;
        const BundleStatus& s = record ? *record : none;
        // Settings that could not be used outweigh the last cycle's error:
        // the bundle stays failing after cycles on its previous settings.
        const std::optional<std::string>& why = s.settings_error ? s.settings_error : s.last_error;
        rows.push_back({cell(bundle.name), cell(view.word),
                        s.version.empty() ? "-" : cell(s.version),
                        s.version.empty() ? "-" : age(s.live_since, now), age(s.last_success, now),
                        age(s.last_attempt, now), std::to_string(s.consecutive_failures),
                        why ? cell(*why) : "-"});
        states.push_back(view.state);
    }
    std::array<std::size_t, kColumns> widths{};
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < kColumns; ++c) widths[c] = std::max(widths[c], width(row[c]));
    }
    const bool colour = platform::isTerminal(kStdout);
    std::string out;
    if (!agent.empty()) {
        out += colour ? "\x1b[31m" + agent + "\x1b[0m\n" : agent + "\n";
    }
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

std::string ageText(std::int64_t then, std::int64_t now) { return age(then, now); }

std::size_t displayWidth(std::string_view text) { return width(text); }

int runStatus(const Invocation& invocation) {
    return status(invocation.config_path, invocation.hasOption("--json"));
}

}  // namespace qs
