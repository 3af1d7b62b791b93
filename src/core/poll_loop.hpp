#pragma once
// The agent's life after start-up: once per pass read the wall clock, sync
// every bundle that is due (in configuration order), sleep one second (or
// less, until a bundle on its own schedule is due), until a stop signal has
// been seen.
//
// A bundle is due poll_interval after its last poll, unless it sets
// poll_jitter or retry_backoff: then it keeps a schedule of its own, planned
// to the millisecond, so that many agents started or failing together
// spread their polls out instead of meeting the server in lock-step.

#include <cstdint>
#include <span>

#include "config/config.hpp"
#include "sync/bundle_state.hpp"
#include "sync/sync_bundle.hpp"

namespace qs {

// What the loop needs from the world, behind one interface so that tests can
// drive it with a fake clock and a recording sync step.
class PollDriver {
public:
    virtual ~PollDriver() = default;
    // True once SIGINT or SIGTERM has arrived.
    [[nodiscard]] virtual bool shutdownRequested() = 0;
    // Wall-clock seconds since the epoch; 0 when the clock cannot be read.
    [[nodiscard]] virtual std::int64_t now() = 0;
    // Wall-clock milliseconds since the epoch, for bundles on their own
    // schedule; by default the seconds of now().
    [[nodiscard]] virtual std::int64_t nowMilliseconds() { return now() * 1000; }
    // 64 uniformly distributed random bits, for the jitter of schedules.
    [[nodiscard]] virtual std::uint64_t randomBits() = 0;
    // Sleeps, resuming after interruptions, so that a signal takes effect
    // only where the loop looks at the stop flag.
    virtual void sleep(std::int64_t nanoseconds) = 0;
    // One sync cycle.
    virtual SyncOutcome sync(const Bundle& bundle, BundleState& state, bool tls_verify) = 0;
    // Whether the configuration is to be read again (SIGHUP); clears the
    // request.
    [[nodiscard]] virtual bool takeReloadRequest() { return false; }
    // Whether every bundle is to be polled at the next pass (SIGUSR1);
    // clears the request.
    [[nodiscard]] virtual bool takePollNowRequest() { return false; }
    // Called after every pass, also one that a stop signal cut short.
    virtual void passEnded() {}
};

using SyncStep = SyncOutcome (*)(const Bundle& bundle, BundleState& state, bool tls_verify);

// The real clock, sleep and stop flag, with the given sync step.
class SystemPollDriver final : public PollDriver {
public:
    // The random bits come from a generator seeded once per process from
    // the system's random source, so agents started together differ.
    explicit SystemPollDriver(SyncStep step);
    [[nodiscard]] bool shutdownRequested() override;
    [[nodiscard]] std::int64_t now() override;
    [[nodiscard]] std::int64_t nowMilliseconds() override;
    [[nodiscard]] std::uint64_t randomBits() override;
    void sleep(std::int64_t nanoseconds) override;
    SyncOutcome sync(const Bundle& bundle, BundleState& state, bool tls_verify) override;
    [[nodiscard]] bool takeReloadRequest() override;
    [[nodiscard]] bool takePollNowRequest() override;

private:
    SyncStep step_;
    std::uint64_t random_state_;
};

// Time between two passes. The schedule has one-second resolution; a
// bundle with interval N is polled every N or N+1 seconds when syncs are
// quick.
inline constexpr std::int64_t kPassSleepNanoseconds = 1'000'000'000;

// Whether a bundle last polled at `last_poll` is due at `now`. The clock
// may have been set back: a negative difference is never due.
[[nodiscard]] bool isDue(std::int64_t now, std::int64_t last_poll, std::uint32_t poll_interval);

// Whether the bundle keeps a schedule of its own: poll_jitter or
// retry_backoff set to more than 0.
[[nodiscard]] bool hasOwnSchedule(const Bundle& bundle);

// Seconds between the start of a cycle and the next one after `failures`
// failed cycles in a row: poll_interval, or with retry_backoff once a cycle
// failed, min(retry_backoff, poll_interval * 2^(failures-1)).
[[nodiscard]] std::uint64_t retryWaitSeconds(const Bundle& bundle, std::uint32_t failures);

// That wait in milliseconds, moved by poll_jitter: uniformly within
// +-poll_jitter percent of it, `unit` being uniform in [0, 1).
[[nodiscard]] std::int64_t nextPollDelayMs(const Bundle& bundle, std::uint32_t failures, double unit);

// From start-up to a bundle's first poll: a uniform fraction (`unit`) of
// poll_jitter percent of poll_interval, in milliseconds.
[[nodiscard]] std::int64_t firstPollDelayMs(const Bundle& bundle, double unit);

// Runs passes until the stop flag is seen (checked before each pass, before
// each bundle's sync and before each sleep: the running sync completes, no
// new one starts), then logs "shutdown complete" and returns. `states` has one
// entry per bundle; the loop sets last_poll to the pass's start time before
// each sync. Allocates nothing.
// Why the loop returned: a stop signal, or a reload request that the
// caller answers before it runs the loop again.
enum class LoopEnd { shutdown, reload };

// Before a pass, a reload request ends the loop with LoopEnd::reload (the
// running pass is always completed first); a poll-now request makes every
// bundle due in that pass.
LoopEnd pollLoop(std::span<const Bundle> bundles, std::span<BundleState> states, bool tls_verify,
                 PollDriver& driver);

}  // namespace qs
