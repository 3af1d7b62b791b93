#include "core/agent.hpp"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "config/load_config.hpp"
#include "core/command_line.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "platform/process_state.hpp"
#include "platform/standard_streams.hpp"
#include "sync/etag_store.hpp"

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

// What the daemon and "once" share: the configuration and one runtime
// record per bundle with its cached ETag.
struct StartedAgent {
    Config config;
    std::vector<BundleState> states;
};

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
    return agent;
}

}  // namespace

int runDaemon(const Invocation& invocation) {
    auto agent = startAgent(invocation.config_path);
    if (!agent) return 1;
    SystemPollDriver driver(invocation.sync);
    pollLoop(agent->config.bundles, agent->states, agent->config.tls_verify, driver);
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
        const SyncOutcome outcome =
            invocation.sync(agent->config.bundles[i], agent->states[i], agent->config.tls_verify);
        if (outcome == SyncOutcome::failed) any_failed = true;
    }
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
