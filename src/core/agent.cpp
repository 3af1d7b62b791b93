#include "core/agent.hpp"

#include <expected>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "config/load_config.hpp"
#include "core/agent_record.hpp"
#include "core/command_line.hpp"
#include "core/metrics.hpp"
#include "core/option_text.hpp"
#include "core/status_records.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "platform/file_lock.hpp"
#include "platform/process_state.hpp"
#include "platform/service_manager.hpp"
#include "platform/standard_streams.hpp"
#include "sync/etag_store.hpp"
#include "sync/payload_record.hpp"
#include "sync/signature_check.hpp"
#include "sync/target_lock.hpp"
#include "sync/trust_store_cache.hpp"
#include "sync/version.hpp"
#include "sync/version_store.hpp"

namespace qs {

namespace {

constexpr int kStdout = 1;
// Exit status of "once" when a bundle's cycle failed; 1 stays the status of
// an unusable configuration, so a script can tell the two apart.
constexpr int kSomeCycleFailed = 2;
// Exit status of a refused command line.
constexpr int kUsageRefused = 2;

int printForExit(std::string_view text) {
    if (auto written = platform::writeAll(kStdout, text); !written) {
        log::startupError(written.error());
        return 1;
    }
    return 0;
}

// The time limits and schedule keys in force for a bundle, its own or from
// [global], on one line when it has any: what a stalled server can cost it.
void logLimits(const Bundle& b) {
    const std::string line = optionsText(b.options, OptionsShown::limits);
    // The text starts with the blank before its first key.
    if (!line.empty()) log::info(log::Scope::quillstead, "  [", b.name, "] limits:", line);
}

// A client key that others may read is a secret already half out; the
// bundle's fetches refuse it, and the operator hears so at once rather than
// at the first https poll.
void refuseOpenKeyFile(const Bundle& b) {
    if (!b.options.client_key) return;
    const auto mode = checkKeyFileMode(*b.options.client_key);
    if (mode || mode.error() != Error::KeyFileOpenToOthers) return;
    log::error(log::Scope::quillstead, "[", b.name, "] client_key ", *b.options.client_key,
               " is readable by group or others; refused: every https fetch of this bundle "
               "fails until only its owner may read it");
}

void logSummary(const Config& config) {
    log::info(log::Scope::quillstead, "quillstead ", kProgramVersion, " starting (",
              config.bundles.size(), " bundle(s))");
    for (const Bundle& b : config.bundles) {
        // A raw payload is written as one file whatever mode says.
        const std::string_view mode = b.format == BundleFormat::raw ? "raw" : deployModeName(b.mode);
        log::info(log::Scope::quillstead, "  [", b.name, "] url=", log::redacted(b.url), " dir=", b.target_dir,
                  " poll=", b.poll_interval, "s mode=", mode, b.chunked ? " chunked" : "",
                  b.public_key ? " signed" : "",
                  optionsText(b.options, OptionsShown::settings));
        logLimits(b);
        refuseOpenKeyFile(b);
    }
}

// Reads the key of every bundle that names one. A bundle whose key cannot
// be used is left out (its line says so): it must never be polled without
// its check, and the others still run. Returns the key texts of the
// bundles that remain, in their order.
std::vector<std::vector<std::string>> loadKeys(std::vector<Bundle>& bundles) {
    std::vector<std::vector<std::string>> keys;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < bundles.size(); ++i) {
        std::optional<std::vector<std::string>> key = loadBundleKeys(bundles[i]);
        if (!key) continue;
        keys.push_back(std::move(*key));
        if (kept != i) bundles[kept] = std::move(bundles[i]);
        ++kept;
    }
    bundles.erase(bundles.begin() + static_cast<std::ptrdiff_t>(kept), bundles.end());
    return keys;
}

// The records of a bundle as they are on disk: the ETag, digest and
// Last-Modified of what is live, as another agent may have left them.
void reloadRecords(const Bundle& bundle, BundleState& state) {
    std::string etag = loadEtag(bundle.target_dir);
    try {
        if (etag != state.etag && !etag.empty()) {
            if (auto version = deriveVersion(etag)) state.status.version = std::move(*version);
        }
    } catch (const std::bad_alloc&) {
        // The status keeps the version it knew; the records below matter more.
    }
    state.etag = std::move(etag);
    state.payload_digest.clear();
    state.last_modified.clear();
    loadPayloadRecords(bundle, state);
}

// What the daemon and "once" share: the configuration, one runtime record
// per bundle with its cached ETag, and where its status record goes.
struct StartedAgent {
    Config config;
    std::vector<BundleState> states;
    // Status record file names, one per bundle (empty without state_dir).
    std::vector<std::string> record_files;
    // A pass ran a cycle since the metrics file was last written.
    bool metrics_due = false;
    // Start-up and reloads, for the metrics.
    AgentFacts facts;

    // One sync cycle of bundle `i`, booked into its status, its record
    // rewritten.
    // The daemon skips a bundle whose target another agent holds
    // (LockWait::fail_when_held); a command waits for it.
    SyncOutcome runCycle(std::size_t i, SyncStep sync, platform::LockWait wait) {
        BundleState& state = states[i];
        const Bundle& bundle = config.bundles[i];
        const std::int64_t started = platform::wallClockSeconds();
        const std::uint64_t clock_before = platform::monotonicMilliseconds();
        const std::uint64_t bytes_before = state.status.bytes;
        log::clearLastError();
        const log::BundleContext about(bundle.name);
        const TargetLock lock = TargetLock::take(bundle, wait, MissingTarget::create);
        SyncOutcome outcome = SyncOutcome::busy;
        switch (lock.state()) {
        case TargetLock::State::interrupted: return SyncOutcome::busy;
        case TargetLock::State::busy:
            log::warn(log::Scope::quillstead, "[", bundle.name, "] busy: another quillstead holds ",
                      lock.path());
            break;
        case TargetLock::State::held:
            // What another agent installed meanwhile is what this one
            // would otherwise download and install a second time.
            if (lock.othersHeldIt()) reloadRecords(bundle, state);
            [[fallthrough]];
        case TargetLock::State::unlocked:
            state.status.bytes = 0;
            log::debug(log::Scope::quillstead, "[", bundle.name, "] polling ", log::redacted(bundle.url));
            outcome = sync(bundle, state, config.tls_verify);
            break;
        }
        try {
            recordCycle(bundle, state, outcome, started,
                        platform::monotonicMilliseconds() - clock_before, bytes_before);
            refreshLiveVersion(bundle, state.status);
        } catch (const std::bad_alloc&) {
            // The status misses this cycle; the cycle itself is done.
            log::warn(log::Scope::quillstead, "[", bundle.name, "] status not recorded: ",
                      Error::OutOfMemory);
        }
        if (config.state_dir) writeStatusRecord(*config.state_dir, record_files[i], bundle, state);
        metrics_due = true;
        return outcome;
    }

    void writeMetricsIfDue() {
        if (!metrics_due || !config.metrics_file) return;
        metrics_due = false;
        writeMetrics(*config.metrics_file, config.bundles, states, facts);
    }
};

// "STATUS=" for the service manager after a pass: how many bundles are
// fine and which are failing, on one line ("3 bundle(s): 2 ok, 1 failing:
// site"). Names beyond the first few are counted, not listed.
std::string passSummary(const StartedAgent& agent) {
    constexpr std::size_t kNamesShown = 3;
    std::size_t failing = 0;
    std::string names;
    for (std::size_t i = 0; i < agent.states.size(); ++i) {
        const BundleStatus& status = agent.states[i].status;
        if (status.consecutive_failures == 0 && !status.settings_error) continue;
        if (++failing > kNamesShown) continue;
        names += names.empty() ? ": " : ", ";
        names += agent.config.bundles[i].name;
    }
    if (failing > kNamesShown) names += ", ...";
    std::string line = "STATUS=" + std::to_string(agent.states.size()) + " bundle(s): " +
                       std::to_string(agent.states.size() - failing) + " ok, " +
                       std::to_string(failing) + " failing" + names;
    // A name is one line of the configuration file, but a newline would
    // start another assignment.
    for (char& c : line) {
        if (c == '\n') c = ' ';
    }
    return line;
}

// Readiness and keep-alives for a service manager that asked for them
// (NOTIFY_SOCKET, WATCHDOG_USEC); silent otherwise.
class ServiceNotifier {
public:
    ServiceNotifier() : watchdog_us_(platform::watchdogMicroseconds()) {}

    // After every pass: the first one makes the agent ready, and every one
    // that ran a cycle says how the bundles stand (an idle pass, once a
    // second, changes nothing worth a message).
    void passEnded(const StartedAgent& agent, bool cycles_ran) {
        std::string message;
        if (cycles_ran || !ready_) {
            try {
                message = passSummary(agent);
            } catch (const std::bad_alloc&) {
            }
        }
        if (!ready_) message = message.empty() ? "READY=1" : "READY=1\n" + message;
        ready_ = true;
        if (!message.empty()) platform::notifyServiceManager(message);
        keepAlive();
    }

    // The poll loop is alive: a keep-alive at half the manager's interval,
    // so one late wake-up does not get the agent killed.
    void keepAlive() {
        if (watchdog_us_ == 0) return;
        const std::uint64_t now = platform::monotonicMicroseconds();
        if (last_ping_us_ != 0 && now - last_ping_us_ < watchdog_us_ / 2) return;
        last_ping_us_ = now;
        platform::notifyServiceManager("WATCHDOG=1");
    }

    void reloading() {
        platform::notifyServiceManager(
            "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(platform::monotonicMicroseconds()));
    }
    void reloaded() { platform::notifyServiceManager("READY=1"); }
    void stopping() { platform::notifyServiceManager("STOPPING=1"); }

private:
    std::uint64_t watchdog_us_;
    std::uint64_t last_ping_us_ = 0;
    bool ready_ = false;
};

// The poll loop's view of the world, with every cycle booked by the agent.
class AgentPollDriver final : public PollDriver {
public:
    AgentPollDriver(StartedAgent& agent, SyncStep step, ServiceNotifier& notifier,
                    AgentPresence& presence)
        : agent_(agent), sync_(step), system_(step), notifier_(notifier), presence_(presence) {}
    [[nodiscard]] bool shutdownRequested() override { return system_.shutdownRequested(); }
    [[nodiscard]] std::int64_t now() override { return system_.now(); }
    [[nodiscard]] std::int64_t nowMilliseconds() override { return system_.nowMilliseconds(); }
    [[nodiscard]] std::uint64_t randomBits() override { return system_.randomBits(); }
    void sleep(std::int64_t nanoseconds) override {
        // The loop sleeps after every pass: the pass is over.
        agent_.writeMetricsIfDue();
        system_.sleep(nanoseconds);
    }
    SyncOutcome sync(const Bundle&, BundleState& state, bool) override {
        notifier_.keepAlive();
        cycles_ran_ = true;
        // The loop hands out the agent's own records, in order.
        return agent_.runCycle(static_cast<std::size_t>(&state - agent_.states.data()), sync_,
                               platform::LockWait::fail_when_held);
    }
    void passEnded() override {
        notifier_.passEnded(agent_, cycles_ran_);
        if (cycles_ran_) presence_.passEnded();
        cycles_ran_ = false;
    }
    [[nodiscard]] bool takeReloadRequest() override { return system_.takeReloadRequest(); }
    [[nodiscard]] bool takePollNowRequest() override { return system_.takePollNowRequest(); }

private:
    StartedAgent& agent_;
    SyncStep sync_;
    SystemPollDriver system_;
    ServiceNotifier& notifier_;
    AgentPresence& presence_;
    bool cycles_ran_ = false;
};

// Status from an earlier run, so that a restart does not forget when a
// bundle last succeeded; without a record the version follows the ETag.
void preloadBundleStatus(StartedAgent& agent, std::size_t i) {
    const Config& config = agent.config;
    BundleState& state = agent.states[i];
    if (config.state_dir) {
        if (auto earlier =
                readStatusRecord(*config.state_dir, agent.record_files[i], config.bundles[i])) {
            state.status = std::move(*earlier);
            // The settings this start (or reload) gives the bundle are the
            // ones it runs on.
            state.status.settings_error.reset();
            refreshLiveVersion(config.bundles[i], state.status);
            return;
        }
    }
    if (!state.etag.empty()) {
        if (auto version = deriveVersion(state.etag)) state.status.version = std::move(*version);
    }
    refreshLiveVersion(config.bundles[i], state.status);
}

// False when state_dir is refused (logged).
bool prepareRecords(StartedAgent& agent) {
    if (!agent.config.state_dir) return true;
    if (!prepareStateDir(*agent.config.state_dir)) return false;
    agent.record_files = statusFileNames(agent.config.bundles);
    return true;
}

bool preloadStatus(StartedAgent& agent) {
    if (!prepareRecords(agent)) return false;
    for (std::size_t i = 0; i < agent.config.bundles.size(); ++i) preloadBundleStatus(agent, i);
    return true;
}

// A bundle keeps its ETag, schedule and status across a reload when these
// are unchanged: the same payload from the same place into the same place.
bool sameBundle(const Bundle& a, const Bundle& b) {
    return a.name == b.name && a.url == b.url && a.target_dir == b.target_dir;
}

// The texts of a bundle's public_key files (none without one), or why the
// bundle cannot be polled with these settings.
std::expected<std::vector<std::string>, std::string> keyOf(const Bundle& bundle) {
    std::vector<std::string> keys;
    if (!bundle.public_key) {
        if (bundle.options.metadata_url) return std::unexpected(std::string("metadata_url needs public_key"));
        return keys;
    }
    const std::vector<std::string> paths = publicKeyPaths(*bundle.public_key);
    if (paths.empty()) {
        return std::unexpected("public_key " + *bundle.public_key + ": error." +
                               std::string(errorName(Error::FileNotFound)));
    }
    for (const std::string& path : paths) {
        auto text = readPublicKeyFile(path);
        if (!text) {
            return std::unexpected("public_key " + path + ": error." + std::string(errorName(text.error())));
        }
        keys.push_back(std::move(*text));
    }
    return keys;
}

// A bundle of a reloaded configuration: the settings it runs on and where
// its runtime record comes from.
struct ReloadedBundle {
    Bundle bundle;
    std::vector<std::string> key;
    // The running bundle of this name, if there is one.
    std::optional<std::size_t> running;
    // Why the file's settings cannot be used: a running bundle then keeps
    // its own (`bundle` is a copy of them), a new one is not added.
    std::string unusable;

    [[nodiscard]] bool added() const { return !running && unusable.empty(); }
    [[nodiscard]] bool dropped() const { return !running && !unusable.empty(); }
};

// The running bundle named `name` that no other bundle of the file has
// claimed yet; claims it.
std::optional<std::size_t> claimRunning(const std::vector<Bundle>& running, std::string_view name,
                                        std::vector<bool>& claimed) {
    for (std::size_t j = 0; j < running.size(); ++j) {
        if (claimed[j] || running[j].name != name) continue;
        claimed[j] = true;
        return j;
    }
    return std::nullopt;
}

// Pairs the bundles of the reloaded file with the running ones, in the
// file's order. Settings that cannot be used never drop a running bundle:
// it stays on the settings it has (a section that lost its url or
// target_dir included). Only a bundle whose section is gone from the file
// is left out; `claimed` marks the others.
std::vector<ReloadedBundle> pairBundles(Config& loaded, const StartedAgent& agent,
                                        std::vector<bool>& claimed) {
    const std::vector<Bundle>& running = agent.config.bundles;
    std::vector<ReloadedBundle> complete;
    for (Bundle& bundle : loaded.bundles) {
        ReloadedBundle entry;
        entry.running = claimRunning(running, bundle.name, claimed);
        auto key = keyOf(bundle);
        if (key) {
            entry.key = std::move(*key);
            entry.bundle = std::move(bundle);
        } else if (entry.running) {
            entry.unusable = std::move(key.error());
            entry.bundle = running[*entry.running];
            entry.key = agent.states[*entry.running].public_keys;
        } else {
            entry.unusable = std::move(key.error());
            entry.bundle = std::move(bundle);
        }
        complete.push_back(std::move(entry));
    }
    // The incomplete sections take their places among the others.
    std::vector<ReloadedBundle> paired;
    std::size_t next_incomplete = 0;
    for (std::size_t position = 0; position <= complete.size(); ++position) {
        for (; next_incomplete < loaded.incomplete.size() &&
               loaded.incomplete[next_incomplete].position <= position;
             ++next_incomplete) {
            const IncompleteBundle& section = loaded.incomplete[next_incomplete];
            ReloadedBundle entry;
            entry.running = claimRunning(running, section.name, claimed);
            // A section that never ran has been warned about by the parser.
            if (!entry.running) continue;
            entry.unusable = "missing " + section.missing;
            entry.bundle = running[*entry.running];
            entry.key = agent.states[*entry.running].public_keys;
            paired.push_back(std::move(entry));
        }
        if (position < complete.size()) paired.push_back(std::move(complete[position]));
    }
    return paired;
}

void logReloadedBundle(const ReloadedBundle& entry, const std::vector<Bundle>& running) {
    using log::Scope;
    const std::string& name = entry.bundle.name;
    if (entry.dropped()) {
        log::error(Scope::config, "[", name, "] settings unusable: ", entry.unusable, "; bundle not added");
    } else if (entry.added()) {
        log::info(Scope::quillstead, "[", name, "] added: url=", log::redacted(entry.bundle.url),
                  " dir=", entry.bundle.target_dir);
    } else if (!entry.unusable.empty()) {
        log::error(Scope::config, "[", name, "] new settings unusable: ", entry.unusable,
                   "; keeping the previous ones");
    } else if (const Bundle& before = running[*entry.running]; !(before == entry.bundle)) {
        log::info(Scope::quillstead, "[", name, "] changed: ", settingsChanges(before, entry.bundle));
    }
}

// Reads the configuration again (SIGHUP). A file that does not load leaves
// everything as it was; its lines keep the running log format and level.
void reloadAgent(StartedAgent& agent, std::string_view config_path) {
    using log::Scope;
    log::info(Scope::quillstead, "reloading configuration from ", config_path);
    // SIGHUP is also how an operator says "the certificates changed" when
    // the change does not show in a source's time or size.
    processTrustStores().forget();
    // Until the new configuration is in use, the reload counts as failed.
    agent.facts.last_reload_ok = false;
    agent.metrics_due = true;
    try {
        auto loaded = loadConfig(config_path, ConfigReading::reload);
        if (!loaded) {
            if (loaded.error().failure == ConfigFailure::read_failed) {
                log::error(Scope::quillstead, "failed to read ", config_path, ": ", loaded.error().error);
            }
            log::error(Scope::quillstead, "reload failed; keeping the running configuration");
            return;
        }
        const std::vector<Bundle>& running = agent.config.bundles;
        std::vector<bool> claimed(running.size(), false);
        const std::vector<ReloadedBundle> paired = pairBundles(*loaded, agent, claimed);
        std::vector<const ReloadedBundle*> entries;
        for (const ReloadedBundle& entry : paired) {
            if (!entry.dropped()) entries.push_back(&entry);
        }

        StartedAgent next;
        next.config = std::move(*loaded);
        next.config.bundles.clear();
        for (const ReloadedBundle* entry : entries) next.config.bundles.push_back(entry->bundle);
        if (!prepareRecords(next)) {
            log::error(Scope::quillstead, "reload failed; keeping the running configuration");
            return;
        }
        next.states.resize(entries.size());
        // Status records to rewrite now rather than after the next cycle,
        // which may be an interval away: those whose settings_error changed.
        std::vector<bool> record_now(entries.size(), false);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const ReloadedBundle& entry = *entries[i];
            BundleState& state = next.states[i];
            const bool keeps_state = entry.running && (!entry.unusable.empty() ||
                                                       sameBundle(entry.bundle, running[*entry.running]));
            if (keeps_state) {
                // A copy, so that a failure half-way leaves the running state whole.
                state = agent.states[*entry.running];
                const bool was_unusable = state.status.settings_error.has_value();
                if (entry.unusable.empty()) {
                    state.status.settings_error.reset();
                } else {
                    state.status.settings_error = "new settings unusable: " + entry.unusable;
                }
                record_now[i] = was_unusable || state.status.settings_error;
            } else {
                // Another payload or another place: the records there say
                // where it stands, as at start-up.
                state.etag = loadEtag(entry.bundle.target_dir);
                preloadBundleStatus(next, i);
            }
            state.public_keys = entry.key;
            // An added bundle, or a kept one whose records moved (another
            // state_dir), reads its records where they are now, as at
            // start-up; otherwise they would be written beside its files
            // and never read.
            std::string prefix = recordPrefix(entry.bundle, next.config.state_dir);
            if (keeps_state && prefix == state.record_prefix) continue;
            state.record_prefix = std::move(prefix);
            state.payload_digest.clear();
            state.last_modified.clear();
            loadPayloadRecords(entry.bundle, state);
        }

        for (const ReloadedBundle& entry : paired) logReloadedBundle(entry, running);
        for (std::size_t j = 0; j < running.size(); ++j) {
            if (!claimed[j]) log::info(Scope::quillstead, "[", running[j].name, "] removed");
        }
        // Removed bundles leave the metrics at the next pass.
        next.metrics_due = true;
        next.facts = agent.facts;
        next.facts.last_reload_ok = true;
        next.facts.last_reload_success = platform::wallClockSeconds();
        agent = std::move(next);
        applyLogSettings(agent.config);
        if (agent.config.state_dir) {
            for (std::size_t i = 0; i < record_now.size(); ++i) {
                if (!record_now[i]) continue;
                writeStatusRecord(*agent.config.state_dir, agent.record_files[i], agent.config.bundles[i],
                                  agent.states[i]);
            }
        }
        log::info(Scope::quillstead, "configuration reloaded: ", agent.config.bundles.size(),
                  " bundle(s)");
    } catch (const std::bad_alloc&) {
        log::error(Scope::quillstead, "reload failed: ", Error::OutOfMemory,
                   "; keeping the running configuration");
    }
}

// Loads the configuration and logs the start-up summary and cached ETags.
// Empty when start-up failed (the reason is logged).
std::optional<StartedAgent> startAgent(std::string_view config_path) {
    StartedAgent agent;
    agent.facts.started = platform::wallClockSeconds();
    agent.facts.last_reload_success = agent.facts.started;
    std::vector<std::vector<std::string>> keys;
    try {
        auto loaded = loadConfig(config_path);
        if (!loaded) {
            if (loaded.error().failure == ConfigFailure::read_failed) {
                log::startupError(loaded.error().error);
            }
            return std::nullopt;
        }
        agent.config = std::move(*loaded);
        logSummary(agent.config);
        const std::size_t configured = agent.config.bundles.size();
        keys = loadKeys(agent.config.bundles);
        if (agent.config.bundles.empty() && configured != 0) {
            log::error(log::Scope::quillstead, "no bundle left to poll");
            return std::nullopt;
        }
        agent.states.resize(agent.config.bundles.size());
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return std::nullopt;
    }

    for (std::size_t i = 0; i < agent.states.size(); ++i)
        agent.states[i].public_keys = std::move(keys[i]);

    // A record that cannot be read just means no ETag: the first poll then
    // downloads and installs the payload once more, which is harmless.
    for (std::size_t i = 0; i < agent.config.bundles.size(); ++i) {
        agent.states[i].etag = loadEtag(agent.config.bundles[i].target_dir);
        agent.states[i].record_prefix = recordPrefix(agent.config.bundles[i], agent.config.state_dir);
        loadPayloadRecords(agent.config.bundles[i], agent.states[i]);
        if (!agent.states[i].etag.empty()) {
            log::info(log::Scope::quillstead, "  [", agent.config.bundles[i].name,
                      "] cached etag: ", agent.states[i].etag);
        }
    }
    try {
        if (!preloadStatus(agent)) return std::nullopt;
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return std::nullopt;
    }

    // What a killed install left behind goes before the first poll; the
    // agent is the only writer of these names.
    for (const Bundle& bundle : agent.config.bundles) removeLeftovers(bundle);
    return agent;
}

}  // namespace

int runDaemon(const Invocation& invocation) {
    auto agent = startAgent(invocation.config_path);
    if (!agent) return 1;
    ServiceNotifier notifier;
    AgentPresence presence;
    presence.claim(agent->config.state_dir, invocation.config_path);
    AgentPollDriver driver(*agent, invocation.sync, notifier, presence);
    // A reload replaces the bundle list the loop runs over, so the loop
    // returns for it and starts again on the new list.
    while (pollLoop(agent->config.bundles, agent->states, agent->config.tls_verify, driver) ==
           LoopEnd::reload) {
        agent->writeMetricsIfDue();
        notifier.reloading();
        reloadAgent(*agent, invocation.config_path);
        presence.claim(agent->config.state_dir, invocation.config_path);
        notifier.reloaded();
    }
    notifier.stopping();
    agent->writeMetricsIfDue();
    return 0;
}

int runOnce(const Invocation& invocation) {
    auto agent = startAgent(invocation.config_path);
    if (!agent) return 1;
    // Like one pass of the poll loop: after a stop signal the running cycle
    // finishes and no other starts.
    const std::int64_t now = platform::wallClockSeconds();
    bool any_failed = false;
    for (std::size_t i = 0; i < agent->config.bundles.size(); ++i) {
        if (platform::shutdownRequested()) break;
        agent->states[i].last_poll = now;
        const SyncOutcome outcome = agent->runCycle(i, invocation.sync, platform::LockWait::wait);
        // Only a stop ends the wait for the lock without a cycle.
        if (outcome == SyncOutcome::busy) break;
        if (!cycleSucceeded(outcome)) any_failed = true;
    }
    agent->writeMetricsIfDue();
    return any_failed ? kSomeCycleFailed : 0;
}

namespace {

// Scans the command line and answers it: -v, -h, a refusal, or the command.
int runCommandLine(int argc, char** argv, SyncStep sync) {
    std::vector<std::string> args;
    if (argc > 1) args.assign(argv + 1, argv + argc);
    const CommandLine line = parseCommandLine(args, commandSyntax());
    switch (line.action) {
    case CommandAction::print_version: return printForExit(kVersionText);
    case CommandAction::print_usage: return printForExit(usageText());
    case CommandAction::refuse:
        // Nothing has been read or fetched: a typo must not select the daemon.
        log::plainLine("error: ", line.refusal);
        log::plainLine("usage: ", kUsageLine);
        return kUsageRefused;
    case CommandAction::run: break;
    }
    platform::occupyStandardDescriptors();
    log::setPriorityPrefixes(platform::standardErrorIsJournal());
    const Command* command = findCommand(line.command);
    if (command == nullptr) return 1;  // the scan only selects listed words
    const Invocation invocation{line.config_path, line.operands, line.options, line.values, sync};
    return command->run(invocation);
}

}  // namespace

int runAgent(int argc, char** argv, SyncStep sync) {
    // Before anything else, so that a stop signal during start-up is held
    // for the poll loop instead of killing a half-started agent.
    platform::installSignalHandlers();
    // Memory that runs out where no step has a plan of its own for it (the
    // command line, a command's configuration and output) ends the process
    // as a failed start-up: one guard for every command.
    try {
        return runCommandLine(argc, argv, sync);
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return 1;
    }
}

}  // namespace qs
