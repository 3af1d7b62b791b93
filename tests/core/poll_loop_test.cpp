#include "core/poll_loop.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/stderr_capture.hpp"

namespace qs {
namespace {

// A clock that only moves when the loop sleeps (one second per sleep) or a
// sync step takes time, and a stop flag raised after a number of sleeps.
class FakeDriver final : public PollDriver {
public:
    std::int64_t clock = 0;
    int sleeps_before_stop = 0;
    // Seconds a bundle's sync step takes, by name.
    std::map<std::string, std::int64_t> sync_seconds;
    // The sync of this bundle raises the stop flag, as a signal would.
    std::string stop_during_sync_of;
    // Called after each sleep with its index (0 for the first).
    std::function<void(int)> after_sleep;

    bool stop = false;
    int sleeps = 0;
    std::vector<std::int64_t> sleep_lengths;
    // "pass:name@last_poll" for each sync, in call order.
    std::string log;

    bool shutdownRequested() override { return stop; }
    std::int64_t now() override { return clock; }
    std::uint64_t randomBits() override { return 0; }
    void sleep(std::int64_t nanoseconds) override {
        sleep_lengths.push_back(nanoseconds);
        clock += 1;
        if (after_sleep) after_sleep(sleeps);
        ++sleeps;
        if (sleeps >= sleeps_before_stop) stop = true;
    }
    SyncOutcome sync(const Bundle& bundle, BundleState& state, bool tls_verify) override {
        log += std::to_string(sleeps) + ":" + bundle.name + "@" + std::to_string(state.last_poll) +
               (tls_verify ? "" : "!") + " ";
        if (auto it = sync_seconds.find(bundle.name); it != sync_seconds.end()) clock += it->second;
        if (bundle.name == stop_during_sync_of) stop = true;
        return SyncOutcome::unchanged;
    }
};

std::vector<Bundle> bundlesWithIntervals(const std::vector<std::uint32_t>& intervals) {
    std::vector<Bundle> bundles;
    char name = 'a';
    for (std::uint32_t interval : intervals) {
        Bundle b;
        b.name = std::string(1, name++);
        b.poll_interval = interval;
        bundles.push_back(b);
    }
    return bundles;
}

struct Case {
    std::string_view name;
    std::vector<std::uint32_t> intervals;
    std::int64_t start_clock;
    int passes;  // sleeps before the stop flag is raised
    std::map<std::string, std::int64_t> sync_seconds;
    std::string_view expected;  // "pass:bundle@last_poll " per sync
};

const Case kCases[] = {
    {"every bundle is polled in the first pass, then every interval",
     {3}, 1000, 7, {}, "0:a@1000 3:a@1003 6:a@1006 "},
    {"interval 0 polls in every pass", {0}, 50, 3, {}, "0:a@50 1:a@51 2:a@52 "},
    {"equal intervals stay in step, in list order",
     {2, 2}, 10, 4, {}, "0:a@10 0:b@10 2:a@12 2:b@12 "},
    {"a slow sync delays the others without catch-up polls",
     {0, 2}, 100, 3, {{"a", 5}}, "0:a@100 0:b@100 1:a@106 1:b@106 2:a@112 2:b@112 "},
    {"one clock reading serves the whole pass",
     {100, 1}, 100, 2, {{"a", 30}}, "0:a@100 0:b@100 1:b@131 "},
    {"interval beyond the clock waits for the clock to reach it",
     {150}, 147, 5, {}, "3:a@150 "},
    {"never-polled bundle with interval equal to the clock is due", {7}, 7, 1, {}, "0:a@7 "},
};

TEST(PollLoop, Schedule) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::vector<Bundle> bundles = bundlesWithIntervals(c.intervals);
        std::vector<BundleState> states(bundles.size());
        FakeDriver driver;
        driver.clock = c.start_clock;
        driver.sleeps_before_stop = c.passes;
        driver.sync_seconds = c.sync_seconds;
        test::StderrCapture capture;
        pollLoop(bundles, states, true, driver);
        EXPECT_EQ(driver.log, c.expected);
        EXPECT_EQ(capture.text(), "info(quillstead): shutdown complete\n");
        for (std::int64_t length : driver.sleep_lengths) EXPECT_EQ(length, 1'000'000'000);
    }
}

TEST(PollLoop, ClockSetBackWaitsForTheClockToCatchUp) {
    auto bundles = bundlesWithIntervals({5});
    std::vector<BundleState> states(1);
    FakeDriver driver;
    driver.clock = 10'000;
    driver.sleeps_before_stop = 3608;
    // After the first sleep the clock jumps back one hour.
    driver.after_sleep = [&](int index) {
        if (index == 0) driver.clock -= 3600;
    };
    test::StderrCapture capture;
    pollLoop(bundles, states, true, driver);
    // Due again only when the clock passes 10'000 + 5 once more.
    EXPECT_EQ(driver.log, "0:a@10000 3605:a@10005 ");
}

TEST(PollLoop, ClockSetForwardPollsEveryOverdueBundleInTheNextPass) {
    auto bundles = bundlesWithIntervals({100, 50, 4000});
    std::vector<BundleState> states(3);
    FakeDriver driver;
    driver.clock = 1'000'000;
    driver.sleeps_before_stop = 2;
    driver.after_sleep = [&](int index) {
        if (index == 0) driver.clock += 3600;
    };
    test::StderrCapture capture;
    pollLoop(bundles, states, false, driver);
    EXPECT_EQ(driver.log, "0:a@1000000! 0:b@1000000! 0:c@1000000! 1:a@1003601! 1:b@1003601! ");
    EXPECT_EQ(states[0].last_poll, 1'003'601);
    EXPECT_EQ(states[2].last_poll, 1'000'000);
}

TEST(PollLoop, StopBeforeTheFirstPassPollsNothing) {
    auto bundles = bundlesWithIntervals({0, 60});
    std::vector<BundleState> states(2);
    FakeDriver driver;
    driver.clock = 1'700'000'000;
    driver.stop = true;
    test::StderrCapture capture;
    pollLoop(bundles, states, true, driver);
    EXPECT_EQ(driver.log, "");
    EXPECT_TRUE(driver.sleep_lengths.empty());
    EXPECT_EQ(states[0].last_poll, 0);
    EXPECT_EQ(capture.text(), "info(quillstead): shutdown complete\n");
}

// The running sync completes; no later bundle of the pass starts one.
TEST(PollLoop, StopDuringASyncEndsThePassWithoutSleeping) {
    auto bundles = bundlesWithIntervals({0, 5, 0});
    std::vector<BundleState> states(3);
    // b was polled just now, so it is not due in this pass.
    states[1].last_poll = 2000;
    FakeDriver driver;
    driver.clock = 2000;
    driver.sleeps_before_stop = 100;
    driver.stop_during_sync_of = "a";
    test::StderrCapture capture;
    pollLoop(bundles, states, true, driver);
    EXPECT_EQ(driver.log, "0:a@2000 ");
    EXPECT_EQ(states[2].last_poll, 0);
    EXPECT_TRUE(driver.sleep_lengths.empty());
    EXPECT_EQ(capture.text(), "info(quillstead): shutdown complete\n");
}

TEST(PollLoop, UnreadableClockPollsOnlyFreshIntervalZeroBundles) {
    auto bundles = bundlesWithIntervals({0, 1, 0});
    std::vector<BundleState> states(3);
    states[2].last_poll = 1'700'000'000;
    FakeDriver driver;
    driver.clock = 0;  // what a failed clock reading gives
    driver.sleeps_before_stop = 2;
    driver.after_sleep = [&](int) { driver.clock = 0; };
    test::StderrCapture capture;
    pollLoop(bundles, states, true, driver);
    EXPECT_EQ(driver.log, "0:a@0 1:a@0 ");
}

TEST(PollLoop, DueRuleAtTheEdgesOfTheClock) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    EXPECT_TRUE(isDue(kMax, kMin, 4294967295u));
    EXPECT_FALSE(isDue(kMin, kMax, 0));
    EXPECT_FALSE(isDue(-1, 0, 0));
    EXPECT_TRUE(isDue(5, 5, 0));
    EXPECT_FALSE(isDue(5, 1, 5));
    EXPECT_TRUE(isDue(6, 1, 5));
    EXPECT_TRUE(isDue(4294967295, 0, 4294967295u));
}


// A millisecond clock that moves only by sleeping, random bits and sync
// outcomes given in advance (the last of each repeats), and the stop flag
// raised after a number of syncs.
class ScheduleDriver final : public PollDriver {
public:
    std::int64_t clock_ms = 1'700'000'000'000;
    std::vector<std::uint64_t> random_bits{0};
    std::vector<SyncOutcome> outcomes{SyncOutcome::unchanged};
    std::size_t stop_after_syncs = 1;
    // Clock at each sync, by bundle name.
    std::map<std::string, std::vector<std::int64_t>> syncs;

    bool shutdownRequested() override { return synced_ >= stop_after_syncs; }
    std::int64_t now() override { return clock_ms / 1000; }
    std::int64_t nowMilliseconds() override { return clock_ms; }
    std::uint64_t randomBits() override {
        const std::uint64_t bits = random_bits[std::min(drawn_, random_bits.size() - 1)];
        ++drawn_;
        return bits;
    }
    void sleep(std::int64_t nanoseconds) override { clock_ms += nanoseconds / 1'000'000; }
    SyncOutcome sync(const Bundle& bundle, BundleState&, bool) override {
        syncs[bundle.name].push_back(clock_ms);
        return outcomes[std::min(synced_++, outcomes.size() - 1)];
    }

    // Milliseconds between consecutive syncs of a bundle.
    std::vector<std::int64_t> gaps(const std::string& name) {
        std::vector<std::int64_t> result;
        const auto& at = syncs[name];
        for (std::size_t i = 1; i < at.size(); ++i) result.push_back(at[i] - at[i - 1]);
        return result;
    }

private:
    std::size_t synced_ = 0;
    std::size_t drawn_ = 0;
};

Bundle scheduledBundle(std::uint32_t interval, std::optional<std::uint32_t> backoff,
                       std::optional<std::uint32_t> jitter) {
    Bundle b;
    b.name = "a";
    b.poll_interval = interval;
    b.options.retry_backoff = backoff;
    b.options.poll_jitter = jitter;
    return b;
}

// The wait after each run of failures, to the millisecond, as the loop
// really keeps it: failures double the interval up to the cap, a success
// goes back to the interval.
TEST(PollSchedule, BackoffAfterZeroToSixFailures) {
    constexpr std::int64_t kSecond = 1000;
    struct Row {
        const char* name;
        std::uint32_t interval;
        std::optional<std::uint32_t> backoff;
        // Wait after the cycle that ended with 0, 1, ..., 6 failures in a row.
        std::vector<std::int64_t> waits;
    };
    const Row cases[] = {
        {"cap far away", 60, 3600, {60, 60, 120, 240, 480, 960, 1920}},
        {"cap reached on the way", 60, 300, {60, 60, 120, 240, 300, 300, 300}},
        {"cap below the interval", 60, 45, {60, 45, 45, 45, 45, 45, 45}},
        {"interval 0 stays 0", 0, 300, {0, 0, 0, 0, 0, 0, 0}},
        {"backoff off: failures change nothing", 60, 0, {60, 60, 60, 60, 60, 60, 60}},
    };
    for (const Row& c : cases) {
        SCOPED_TRACE(c.name);
        const Bundle bundle = scheduledBundle(c.interval, c.backoff, std::nullopt);
        for (std::uint32_t failures = 0; failures < c.waits.size(); ++failures)
            EXPECT_EQ(retryWaitSeconds(bundle, failures), static_cast<std::uint64_t>(c.waits[failures]));
        if (!hasOwnSchedule(bundle)) continue;

        // Through the loop: one good cycle, six failures, one good cycle.
        ScheduleDriver driver;
        driver.outcomes = {SyncOutcome::installed};
        for (int i = 0; i < 6; ++i) driver.outcomes.push_back(SyncOutcome::fetch_failed);
        driver.outcomes.push_back(SyncOutcome::unchanged);
        driver.stop_after_syncs = 9;
        std::vector<BundleState> states(1);
        test::StderrCapture capture;
        pollLoop(std::span<const Bundle>(&bundle, 1), states, true, driver);
        std::vector<std::int64_t> expected;
        for (std::int64_t wait : c.waits) expected.push_back(wait * kSecond);
        expected.push_back(c.waits[0] * kSecond);  // after the good cycle at the end
        EXPECT_EQ(driver.gaps("a"), expected);
    }
}

// Jitter moves each wait within +-percent of it, to both ends, and spreads
// the first poll over [0, percent of the interval); a bundle without jitter
// or backoff keeps the plain one-second passes.
TEST(PollSchedule, JitterBoundsAndFirstPollSpread) {
    constexpr std::uint64_t kLowest = 0;
    constexpr std::uint64_t kMiddle = std::uint64_t{1} << 63;
    constexpr std::uint64_t kHighest = ~std::uint64_t{0};
    struct Row {
        const char* name;
        std::uint64_t bits;
        std::int64_t first_delay_ms;  // interval 100 s, jitter 10 %
        std::int64_t wait_ms;
    };
    const Row cases[] = {
        {"lowest draw", kLowest, 0, 90'000},
        {"middle draw", kMiddle, 5'000, 100'000},
        {"highest draw", kHighest, 9'999, 109'999},
    };
    for (const Row& c : cases) {
        SCOPED_TRACE(c.name);
        const Bundle bundle = scheduledBundle(100, std::nullopt, 10);
        ScheduleDriver driver;
        driver.random_bits = {c.bits};
        driver.stop_after_syncs = 3;
        const std::int64_t start = driver.clock_ms;
        std::vector<BundleState> states(1);
        test::StderrCapture capture;
        pollLoop(std::span<const Bundle>(&bundle, 1), states, true, driver);
        ASSERT_EQ(driver.syncs["a"].size(), 3u);
        EXPECT_EQ(driver.syncs["a"][0] - start, c.first_delay_ms);
        EXPECT_EQ(driver.gaps("a"), (std::vector<std::int64_t>{c.wait_ms, c.wait_ms}));
    }

    // The agent's own random source: every wait within the bounds, and
    // both halves of the range used.
    SystemPollDriver system(nullptr);
    const Bundle bundle = scheduledBundle(60, 3600, 10);
    int below = 0;
    int above = 0;
    for (int i = 0; i < 1000; ++i) {
        const double unit = static_cast<double>(system.randomBits() >> 11) * 0x1.0p-53;
        const std::int64_t wait = nextPollDelayMs(bundle, 2, unit);
        ASSERT_GE(wait, 108'000);
        ASSERT_LE(wait, 132'000);
        (wait < 120'000 ? below : above) += 1;
        const std::int64_t first = firstPollDelayMs(bundle, unit);
        ASSERT_GE(first, 0);
        ASSERT_LT(first, 6'000);
    }
    EXPECT_GT(below, 400);
    EXPECT_GT(above, 400);
}

// Bundles on their own schedule and plain ones in one agent: the loop wakes
// for the scheduled bundle's millisecond, and the plain bundle still goes
// by whole seconds of its interval.
TEST(PollSchedule, ScheduledAndPlainBundlesShareTheLoop) {
    Bundle jittered = scheduledBundle(10, std::nullopt, 50);
    jittered.name = "j";
    Bundle plain;
    plain.name = "p";
    plain.poll_interval = 3;
    const std::vector<Bundle> bundles = {plain, jittered};
    ScheduleDriver driver;
    driver.clock_ms = 1'700'000'000'000;
    driver.random_bits = {std::uint64_t{1} << 62};  // a quarter: first poll after 1.25 s
    driver.stop_after_syncs = 5;
    std::vector<BundleState> states(2);
    test::StderrCapture capture;
    pollLoop(bundles, states, true, driver);
    // j: first poll 1.25 s in, then 10 s less a quarter of its 50 % spread.
    EXPECT_EQ(driver.syncs["j"], (std::vector<std::int64_t>{1'700'000'001'250, 1'700'000'008'750}));
    // p: polled in the first pass that starts 3 whole seconds after the last
    // one, that is 3 or up to one second more apart.
    EXPECT_EQ(driver.gaps("p"), (std::vector<std::int64_t>{3'250, 3'000}));
}

}  // namespace
}  // namespace qs

namespace qs {
namespace {

// Requests raised after a given sleep, as SIGUSR1 and SIGHUP would.
class RequestingDriver final : public PollDriver {
public:
    FakeDriver inner;
    int poll_now_after_sleep = -1;
    int reload_after_sleep = -1;

    bool shutdownRequested() override { return inner.shutdownRequested(); }
    std::int64_t now() override { return inner.now(); }
    std::uint64_t randomBits() override { return inner.randomBits(); }
    void sleep(std::int64_t nanoseconds) override { inner.sleep(nanoseconds); }
    SyncOutcome sync(const Bundle& b, BundleState& s, bool tls_verify) override {
        return inner.sync(b, s, tls_verify);
    }
    bool takePollNowRequest() override { return inner.sleeps == poll_now_after_sleep && take(poll_taken_); }
    bool takeReloadRequest() override { return inner.sleeps == reload_after_sleep && take(reload_taken_); }

private:
    static bool take(bool& taken) { return !std::exchange(taken, true); }
    bool poll_taken_ = false;
    bool reload_taken_ = false;
};

TEST(PollLoop, PollNowAndReloadRequests) {
    struct RequestCase {
        std::string_view name;
        int poll_now_after, reload_after;
        LoopEnd end;
        std::string_view expected;
        std::string_view log;
    };
    const RequestCase cases[] = {
        {"poll now makes every bundle due once", 2, -1, LoopEnd::shutdown,
         "0:a@100000 0:b@100000 2:a@100002 2:b@100002 ", "info(quillstead): shutdown complete\n"},
        {"a reload request ends the loop before the next pass", -1, 2, LoopEnd::reload,
         "0:a@100000 0:b@100000 ", ""},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto bundles = bundlesWithIntervals({3600, 7200});
        std::vector<BundleState> states(2);
        RequestingDriver driver;
        driver.inner.clock = 100'000;
        driver.inner.sleeps_before_stop = 4;
        driver.poll_now_after_sleep = c.poll_now_after;
        driver.reload_after_sleep = c.reload_after;
        test::StderrCapture capture;
        EXPECT_EQ(pollLoop(bundles, states, true, driver), c.end);
        EXPECT_EQ(driver.inner.log, c.expected);
        EXPECT_EQ(capture.text(), c.log);
    }
}

}  // namespace
}  // namespace qs
