#include "core/poll_loop.hpp"

#include <cstddef>

#include "log/log.hpp"
#include "platform/process_state.hpp"

namespace qs {

bool SystemPollDriver::shutdownRequested() { return platform::shutdownRequested(); }

std::int64_t SystemPollDriver::now() { return platform::wallClockSeconds(); }

void SystemPollDriver::sleep(std::int64_t nanoseconds) { platform::sleepNanoseconds(nanoseconds); }

SyncOutcome SystemPollDriver::sync(const Bundle& bundle, BundleState& state, bool tls_verify) {
    return step_(bundle, state, tls_verify);
}

bool SystemPollDriver::takeReloadRequest() { return platform::takeReloadRequest(); }

bool SystemPollDriver::takePollNowRequest() { return platform::takePollNowRequest(); }

bool isDue(std::int64_t now, std::int64_t last_poll, std::uint32_t poll_interval) {
    if (now < last_poll) return false;
    // Unsigned subtraction gives the exact distance even when it does not fit
    // a signed 64-bit number (a clock far past a last_poll far before 1970).
    const std::uint64_t elapsed = static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(last_poll);
    return elapsed >= poll_interval;
}

LoopEnd pollLoop(std::span<const Bundle> bundles, std::span<BundleState> states, bool tls_verify,
                 PollDriver& driver) {
    const std::size_t count = bundles.size() < states.size() ? bundles.size() : states.size();
    while (!driver.shutdownRequested()) {
        // One clock reading serves the whole pass, however long its syncs
        // take: bundles due together stay in step, and a slow sync delays
        // the others instead of making them be polled twice to catch up.
        if (driver.takeReloadRequest()) return LoopEnd::reload;
        const bool poll_all = driver.takePollNowRequest();
        const std::int64_t now = driver.now();
        for (std::size_t i = 0; i < count; ++i) {
            if (!poll_all && !isDue(now, states[i].last_poll, bundles[i].poll_interval)) continue;
            states[i].last_poll = now;
            driver.sync(bundles[i], states[i], tls_verify);
        }
        if (driver.shutdownRequested()) break;
        driver.sleep(kPassSleepNanoseconds);
    }
    log::info(log::Scope::quillstead, "shutdown complete");
    return LoopEnd::shutdown;
}

}  // namespace qs
