#include "core/agent.hpp"

#include <new>
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

int runConfigured(std::string_view config_path, SyncStep sync) {
    Config config;
    std::vector<BundleState> states;
    try {
        auto loaded = loadConfig(config_path);
        if (!loaded) {
            if (loaded.error().failure == ConfigFailure::read_failed) {
                log::startupError(loaded.error().error);
            }
            return 1;
        }
        config = std::move(*loaded);
        logSummary(config);
        states.resize(config.bundles.size());
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return 1;
    }

    // A record that cannot be read just means no ETag: the first poll then
    // downloads and installs the payload once more, which is harmless.
    for (std::size_t i = 0; i < config.bundles.size(); ++i) {
        states[i].etag = loadEtag(config.bundles[i].target_dir);
        if (!states[i].etag.empty()) {
            log::info(log::Scope::quillstead, "  [", config.bundles[i].name,
                      "] cached etag: ", states[i].etag);
        }
    }

    SystemPollDriver driver(sync);
    pollLoop(config.bundles, states, config.tls_verify, driver);
    return 0;
}

}  // namespace

int runAgent(int argc, char** argv, SyncStep sync) {
    // Before anything else, so that a stop signal during start-up is held
    // for the poll loop instead of killing a half-started agent.
    platform::installSignalHandlers();
    CommandLine line;
    std::vector<std::string> args;
    try {
        if (argc > 1) args.assign(argv + 1, argv + argc);
        line = parseCommandLine(args);
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return 1;
    }
    switch (line.action) {
    case CommandAction::print_version: return printForExit(kVersionText);
    case CommandAction::print_usage: return printForExit(kUsageText);
    case CommandAction::run: break;
    }
    platform::occupyStandardDescriptors();
    return runConfigured(line.config_path, sync);
}

}  // namespace qs
