#include "core/poll_loop.hpp"

#include <cstddef>
#include <cstdint>

#include "log/log.hpp"
#include "platform/process_state.hpp"

namespace qs {

namespace {

constexpr std::int64_t kMillisecondsPerSecond = 1000;
constexpr std::int64_t kNanosecondsPerMillisecond = 1'000'000;

// A uniform number in [0, 1) from 53 random bits (a double's precision).
double unitFrom(std::uint64_t bits) { return static_cast<double>(bits >> 11) * 0x1.0p-53; }

std::int64_t floorSeconds(std::int64_t milliseconds) {
    const std::int64_t seconds = milliseconds / kMillisecondsPerSecond;
    return milliseconds % kMillisecondsPerSecond < 0 ? seconds - 1 : seconds;
}

}  // namespace

SystemPollDriver::SystemPollDriver(SyncStep step)
    : step_(step), random_state_(platform::randomSeed()) {}

bool SystemPollDriver::shutdownRequested() { return platform::shutdownRequested(); }

std::int64_t SystemPollDriver::now() { return platform::wallClockSeconds(); }

std::int64_t SystemPollDriver::nowMilliseconds() { return platform::wallClockMilliseconds(); }

// splitmix64: statistically sound for spreading polls, and its whole state
// is one word.
std::uint64_t SystemPollDriver::randomBits() {
    std::uint64_t z = (random_state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

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

bool hasOwnSchedule(const Bundle& bundle) {
    return bundle.options.poll_jitter.value_or(0) != 0 || bundle.options.retry_backoff.value_or(0) != 0;
}

std::uint64_t retryWaitSeconds(const Bundle& bundle, std::uint32_t failures) {
    const std::uint64_t interval = bundle.poll_interval;
    const std::uint64_t longest = bundle.options.retry_backoff.value_or(0);
    if (failures == 0 || longest == 0) return interval;
    // Doubling stops at the cap, so the shift never overflows.
    std::uint64_t wait = interval;
    for (std::uint32_t i = 1; i < failures && wait < longest; ++i) wait *= 2;
    return wait < longest ? wait : longest;
}

std::int64_t nextPollDelayMs(const Bundle& bundle, std::uint32_t failures, double unit) {
    const auto wait_ms = static_cast<std::int64_t>(retryWaitSeconds(bundle, failures)) * kMillisecondsPerSecond;
    const std::uint32_t percent = bundle.options.poll_jitter.value_or(0);
    if (percent == 0) return wait_ms;
    const double spread = static_cast<double>(wait_ms) * percent / 100.0;
    return wait_ms + static_cast<std::int64_t>(spread * (2.0 * unit - 1.0));
}

std::int64_t firstPollDelayMs(const Bundle& bundle, double unit) {
    const std::uint32_t percent = bundle.options.poll_jitter.value_or(0);
    const double spread =
        static_cast<double>(bundle.poll_interval) * kMillisecondsPerSecond * percent / 100.0;
    return static_cast<std::int64_t>(spread * unit);
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
        const std::int64_t now_ms = driver.nowMilliseconds();
        const std::int64_t now = floorSeconds(now_ms);
        bool scheduled = false;
        std::int64_t earliest_ms = 0;
        for (std::size_t i = 0; i < count; ++i) {
            // A stop ends the pass before the next sync: the running one
            // saw its wait end, and every later one would only fail the
            // same way and be counted and reported as a fault it is not.
            if (driver.shutdownRequested()) break;
            const Bundle& bundle = bundles[i];
            BundleState& state = states[i];
            if (!hasOwnSchedule(bundle)) {
                if (!poll_all && !isDue(now, state.last_poll, bundle.poll_interval)) continue;
                state.last_poll = now;
                driver.sync(bundle, state, tls_verify);
                continue;
            }
            if (state.next_poll_ms == 0)
                state.next_poll_ms = now_ms + firstPollDelayMs(bundle, unitFrom(driver.randomBits()));
            if (poll_all || now_ms >= state.next_poll_ms) {
                state.last_poll = now;
                const SyncOutcome outcome = driver.sync(bundle, state, tls_verify);
                // A bundle another agent held was not polled: its run of
                // failures stands as it was.
                if (outcome == SyncOutcome::busy) {
                } else if (cycleGotNothingLive(outcome)) {
                    if (state.failures < UINT32_MAX) ++state.failures;
                } else {
                    state.failures = 0;
                }
                state.next_poll_ms =
                    now_ms + nextPollDelayMs(bundle, state.failures, unitFrom(driver.randomBits()));
            }
            if (!scheduled || state.next_poll_ms < earliest_ms) earliest_ms = state.next_poll_ms;
            scheduled = true;
        }
        driver.passEnded();
        if (driver.shutdownRequested()) break;
        std::int64_t sleep_ns = kPassSleepNanoseconds;
        if (scheduled) {
            // Wake for the next scheduled bundle rather than at the next
            // whole second, or the jitter would be rounded away.
            const std::int64_t left_ms = earliest_ms - driver.nowMilliseconds();
            if (left_ms <= 0) continue;
            if (left_ms * kNanosecondsPerMillisecond < sleep_ns)
                sleep_ns = left_ms * kNanosecondsPerMillisecond;
        }
        driver.sleep(sleep_ns);
    }
    log::info(log::Scope::quillstead, "shutdown complete");
    return LoopEnd::shutdown;
}

}  // namespace qs
