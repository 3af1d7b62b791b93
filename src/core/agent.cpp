#include "core/agent.hpp"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "config/load_config.hpp"
#include "core/command_line.hpp"
#include "core/status_records.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "platform/process_state.hpp"
#include "platform/standard_streams.hpp"
#include "sync/etag_store.hpp"
#include "sync/version.hpp"

namespace qs {

namespace {

constexpr int kStdout = 1;
// Exit status of "once" when a bundle's cycle failed; 1 stays the status of
// an unusable configuration, so a script can tell the two apart.
constexpr int kSomeCycleFailed = 2;

int printForExit(std::string_view text) {
    if (auto written = platform::writeAll(kStdout, text); !written) {
        log::startupError(written.error());
        return 1;
    }
    return 0;
}

void logSummary(const Config& config) {
    log::info(log::Scope::quillstead, "quillstead ", kProgramVersion, " starting (",
              config.bundles.size(), " bundle(s))");
    for (const Bundle& b : config.bundles) {
        log::info(log::Scope::quillstead, "  [", b.name, "] url=", b.url, " dir=", b.target_dir,
                  " poll=", b.poll_interval, "s mode=", deployModeName(b.mode));
    }
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

    // One sync cycle of bundle `i`, booked into its status, its record
    // rewritten.
    SyncOutcome runCycle(std::size_t i, SyncStep sync) {
        BundleState& state = states[i];
        const Bundle& bundle = config.bundles[i];
        const std::int64_t started = platform::wallClockSeconds();
        const std::uint64_t clock_before = platform::monotonicMilliseconds();
        const std::uint64_t bytes_before = state.status.bytes;
        state.status.bytes = 0;
        log::clearLastError();
        const SyncOutcome outcome = sync(bundle, state, config.tls_verify);
        recordCycle(bundle, state, outcome, started,
                    platform::monotonicMilliseconds() - clock_before, bytes_before);
        if (config.state_dir) writeStatusRecord(*config.state_dir, record_files[i], bundle, state);
        metrics_due = true;
        return outcome;
    }

    void writeMetricsIfDue() {
        if (!metrics_due || !config.metrics_file) return;
        metrics_due = false;
        writeMetrics(*config.metrics_file, config.bundles, states);
    }
};

// The poll loop's view of the world, with every cycle booked by the agent.
class AgentPollDriver final : public PollDriver {
public:
    AgentPollDriver(StartedAgent& agent, SyncStep sync) : agent_(agent), sync_(sync), system_(sync) {}
    [[nodiscard]] bool shutdownRequested() override { return system_.shutdownRequested(); }
    [[nodiscard]] std::int64_t now() override { return system_.now(); }
    void sleep(std::int64_t nanoseconds) override {
        // The loop sleeps after every pass: the pass is over.
        agent_.writeMetricsIfDue();
        system_.sleep(nanoseconds);
    }
    SyncOutcome sync(const Bundle&, BundleState& state, bool) override {
        // The loop hands out the agent's own records, in order.
        return agent_.runCycle(static_cast<std::size_t>(&state - agent_.states.data()), sync_);
    }

private:
    StartedAgent& agent_;
    SyncStep sync_;
    SystemPollDriver system_;
};

// Status from an earlier run, so that a restart does not forget when a
// bundle last succeeded; without a record the version follows the ETag.
void preloadStatus(StartedAgent& agent) {
    const Config& config = agent.config;
    if (config.state_dir) {
        prepareStateDir(*config.state_dir);
        agent.record_files = statusFileNames(config.bundles);
    }
    for (std::size_t i = 0; i < config.bundles.size(); ++i) {
        BundleState& state = agent.states[i];
        if (config.state_dir) {
            if (auto earlier = readStatusRecord(*config.state_dir, agent.record_files[i],
                                                config.bundles[i])) {
                state.status = std::move(*earlier);
                continue;
            }
        }
        if (!state.etag.empty()) {
            if (auto version = deriveVersion(state.etag)) state.status.version = std::move(*version);
        }
    }
}

// Loads the configuration and logs the start-up summary and cached ETags.
// Empty when start-up failed (the reason is logged).
std::optional<StartedAgent> startAgent(std::string_view config_path) {
    StartedAgent agent;
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
        agent.states.resize(agent.config.bundles.size());
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return std::nullopt;
    }

    // A record that cannot be read just means no ETag: the first poll then
    // downloads and installs the payload once more, which is harmless.
    for (std::size_t i = 0; i < agent.config.bundles.size(); ++i) {
        agent.states[i].etag = loadEtag(agent.config.bundles[i].target_dir);
        if (!agent.states[i].etag.empty()) {
            log::info(log::Scope::quillstead, "  [", agent.config.bundles[i].name,
                      "] cached etag: ", agent.states[i].etag);
        }
    }
    try {
        preloadStatus(agent);
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return std::nullopt;
    }
    return agent;
}

}  // namespace

int runDaemon(const Invocation& invocation) {
    auto agent = startAgent(invocation.config_path);
    if (!agent) return 1;
    AgentPollDriver driver(*agent, invocation.sync);
    pollLoop(agent->config.bundles, agent->states, agent->config.tls_verify, driver);
    agent->writeMetricsIfDue();
    return 0;
}

int runOnce(const Invocation& invocation) {
    auto agent = startAgent(invocation.config_path);
    if (!agent) return 1;
    // Like one pass of the poll loop: a stop signal lets the pass finish.
    const std::int64_t now = platform::wallClockSeconds();
    bool any_failed = false;
    for (std::size_t i = 0; i < agent->config.bundles.size(); ++i) {
        agent->states[i].last_poll = now;
        if (agent->runCycle(i, invocation.sync) == SyncOutcome::failed) any_failed = true;
    }
    agent->writeMetricsIfDue();
    return any_failed ? kSomeCycleFailed : 0;
}

int runAgent(int argc, char** argv, SyncStep sync) {
    // Before anything else, so that a stop signal during start-up is held
    // for the poll loop instead of killing a half-started agent.
    platform::installSignalHandlers();
    CommandLine line;
    std::vector<std::string> args;
    try {
        if (argc > 1) args.assign(argv + 1, argv + argc);
        line = parseCommandLine(args, commandWords());
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return 1;
    }
    switch (line.action) {
    case CommandAction::print_version: return printForExit(kVersionText);
    case CommandAction::print_usage: {
        std::string usage;
        try {
            usage = usageText();
        } catch (const std::bad_alloc&) {
            log::startupError(Error::OutOfMemory);
            return 1;
        }
        return printForExit(usage);
    }
    case CommandAction::run: break;
    }
    platform::occupyStandardDescriptors();
    const Command* command = findCommand(line.command);
    if (command == nullptr) return 1;  // the scan only selects listed words
    const Invocation invocation{line.config_path, line.operands, sync};
    return command->run(invocation);
}

}  // namespace qs
