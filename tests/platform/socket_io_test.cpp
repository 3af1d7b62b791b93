#include "platform/socket_io.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/process_state.hpp"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Both ends of a connected stream pair, closed with the test.
struct SocketPair {
    int near = -1;
    int far = -1;
    SocketPair() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0) {
            near = ends[0];
            far = ends[1];
        }
    }
    ~SocketPair() {
        ::close(near);
        ::close(far);
    }
};

// A wait ends when the socket is ready, when a limit passes or when the stop
// flag is raised (before or during the wait), and records why it gave up.
TEST(SocketWait, EndsOnReadinessLimitOrStop) {
    installSignalHandlers();
    struct Case {
        const char* name;
        bool peer_writes;
        std::int64_t single_wait_ms;
        std::int64_t deadline_in_ms;  // from now; 0: none
        bool stop_before;
        bool stop_by_signal;  // raised by a real SIGTERM during the wait
        std::optional<Error> expected;
        std::chrono::milliseconds at_least;
    };
    const Case cases[] = {
        {"ready at once", true, 0, 0, false, false, std::nullopt, 0ms},
        {"single wait passes", false, 200, 0, false, false, Error::TimedOut, 200ms},
        // The deadline counts whole milliseconds of the monotonic clock, so
        // it may fall up to one millisecond before 200 ms from the start.
        {"deadline nearer than the single wait", false, 5000, 200, false, false, Error::TimedOut,
         199ms},
        {"deadline already passed", true, 0, -1, false, false, Error::TimedOut, 0ms},
        {"stop flag already up", false, 0, 0, true, false, Error::Interrupted, 0ms},
        {"stop signal during an unlimited wait", false, 0, 0, false, true, Error::Interrupted,
         200ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        ASSERT_GE(pair.near, 0);
        if (c.peer_writes) {
            ASSERT_EQ(::write(pair.far, "x", 1), 1);
        }
        SocketLimits limits;
        limits.single_wait_ms = c.single_wait_ms;
        if (c.deadline_in_ms != 0) limits.deadline_ms =
                static_cast<std::int64_t>(monotonicMilliseconds()) + c.deadline_in_ms;
        setShutdownRequested(c.stop_before);
        // A timer signal from the kernel, so the wait really is interrupted.
        timer_t timer{};
        if (c.stop_by_signal) {
            sigevent event{};
            event.sigev_notify = SIGEV_SIGNAL;
            event.sigev_signo = SIGTERM;
            ASSERT_EQ(::timer_create(CLOCK_MONOTONIC, &event, &timer), 0);
            itimerspec when{};
            when.it_value.tv_nsec = 200'000'000;
            ASSERT_EQ(::timer_settime(timer, 0, &when, nullptr), 0);
        }
        const auto start = Clock::now();
        char byte = 0;
        const auto got = socketReceive(pair.near, std::span<char>(&byte, 1), limits);
        const auto took = Clock::now() - start;
        if (c.stop_by_signal) ::timer_delete(timer);
        setShutdownRequested(false);

        if (c.expected) {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error(), *c.expected);
            EXPECT_EQ(limits.ended_by, c.expected);
        } else {
            ASSERT_TRUE(got) << errorName(got.error());
            EXPECT_EQ(*got, 1u);
            EXPECT_FALSE(limits.ended_by);
        }
        EXPECT_GE(took, c.at_least);
        EXPECT_LT(took, c.at_least + 2s);
    }
}

// A full socket makes the sender wait for room, under the same limits.
TEST(SocketWait, SendingIntoAFullSocketTimesOut) {
    SocketPair pair;
    ASSERT_GE(pair.near, 0);
    const std::string chunk(1 << 16, 'x');
    SocketLimits limits;
    limits.single_wait_ms = 200;
    Result<void> sent;
    for (int i = 0; i < 1000 && sent; ++i) sent = socketSendAll(pair.near, chunk, limits);
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error(), Error::TimedOut);
}

}  // namespace
}  // namespace qs::platform
