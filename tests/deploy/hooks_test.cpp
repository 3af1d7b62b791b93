#include "deploy/hooks.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/as_user.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace qs {
namespace {

std::string runningLine(const std::string& command) {
    return "info(bundle): running post_sync: " + command + "\n";
}

TEST(RunPostSync, ReportsHowTheCommandEnded) {
    struct Case {
        const char* command;
        bool succeeds;
        const char* outcome;  // the line after "running post_sync"
    };
    const Case cases[] = {
        {"exit 0", true, "info(bundle): post_sync completed successfully"},
        {"true | cat > /dev/null && test -d /", true,
         "info(bundle): post_sync completed successfully"},
        {"exit 3", false, "warning(bundle): post_sync exited with code 3"},
        {"exit 255", false, "warning(bundle): post_sync exited with code 255"},
        {"false; true; exit 1", false, "warning(bundle): post_sync exited with code 1"},
        {"no_such_command_quillstead", false, "warning(bundle): post_sync exited with code 127"},
        {"kill -TERM $$", false, "warning(bundle): post_sync terminated abnormally"},
        {"kill -KILL $$", false, "warning(bundle): post_sync terminated abnormally"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        test::StderrCapture capture;
        const auto result = runPostSync(c.command);
        EXPECT_EQ(result.has_value(), c.succeeds);
        if (!result) {
            EXPECT_EQ(result.error(), Error::HookFailed);
        }
        const std::string text = capture.text();
        EXPECT_EQ(text.substr(text.size() - std::string(c.outcome).size() - 1),
                  std::string(c.outcome) + "\n");
        EXPECT_EQ(text.substr(0, runningLine(c.command).size()), runningLine(c.command));
    }
}

TEST(RunPostSync, ShellGetsAnEmptyEnvironment) {
    test::TempDir dir;
    ASSERT_EQ(::setenv("QUILLSTEAD_TEST_MARKER", "leaked", 1), 0);
    // `env` is found although PATH is unset: the shell has its own default
    // search path.
    const std::string command = "env > " + (dir / "env") +
                                "; echo \"${HOME-unset} ${QUILLSTEAD_TEST_MARKER-unset}\" > " +
                                (dir / "vars");
    test::StderrCapture capture;
    const auto result = runPostSync(command);
    ::unsetenv("QUILLSTEAD_TEST_MARKER");
    ASSERT_TRUE(result) << capture.text();
    EXPECT_EQ(test::readFile(dir / "vars"), "unset unset\n");

    // The shell may define variables of its own (dash exports PWD); nothing
    // of the agent's environment may reach the child.
    const std::string child_env = test::readFile(dir / "env");
    std::istringstream lines(child_env);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.starts_with("PWD=") || line.starts_with("OLDPWD=")) << line;
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable(*entry);
        if (variable.starts_with("PWD=")) continue;
        EXPECT_EQ(child_env.find(variable), std::string::npos) << variable;
    }
}

TEST(RunPostSync, CommandLengthLimitIs4095Bytes) {
    test::TempDir dir;
    const std::string touch = "touch " + (dir / "ran") + " #";
    const std::string longest = touch + std::string(4095 - touch.size(), 'x');
    ASSERT_EQ(longest.size(), 4095u);
    {
        test::StderrCapture capture;
        EXPECT_TRUE(runPostSync(longest));
        EXPECT_EQ(capture.text(),
                  runningLine(longest) + "info(bundle): post_sync completed successfully\n");
        EXPECT_TRUE(std::filesystem::exists(dir / "ran"));
    }
    std::filesystem::remove(dir / "ran");
    const std::string too_long = longest + "x";
    {
        test::StderrCapture capture;
        const auto result = runPostSync(too_long);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), Error::HookFailed);
        EXPECT_EQ(capture.text(), runningLine(too_long) +
                                      "error(bundle): post_sync command too long (4096 bytes)\n");
        EXPECT_FALSE(std::filesystem::exists(dir / "ran"));  // nothing started
    }
}

// Restores a signal's disposition when the test ends, however it ends.
class SignalGuard {
public:
    explicit SignalGuard(int number) : number_(number) { ::sigaction(number, nullptr, &saved_); }
    ~SignalGuard() { ::sigaction(number_, &saved_, nullptr); }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

private:
    int number_;
    struct sigaction saved_ {};
};

volatile std::sig_atomic_t g_alarms = 0;
void countAlarm(int) { g_alarms = g_alarms + 1; }
void ignoreSignal(int) {}

TEST(RunPostSync, SignalToTheAgentDoesNotCutTheWaitShort) {
    test::TempDir dir;
    SignalGuard guard(SIGALRM);
    // As the agent's shutdown handlers: no SA_RESTART, so waitpid returns EINTR.
    struct sigaction action {};
    action.sa_handler = countAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(::sigaction(SIGALRM, &action, nullptr), 0);
    g_alarms = 0;
    struct itimerval timer {};
    timer.it_value.tv_usec = 100'000;
    ASSERT_EQ(::setitimer(ITIMER_REAL, &timer, nullptr), 0);

    const std::string command = "sleep 1; echo done > " + (dir / "finished") + "; exit 4";
    test::StderrCapture capture;
    const auto result = runPostSync(command);
    EXPECT_EQ(g_alarms, 1);
    ASSERT_FALSE(result);
    EXPECT_EQ(capture.text(),
              runningLine(command) + "warning(bundle): post_sync exited with code 4\n");
    EXPECT_EQ(test::readFile(dir / "finished"), "done\n");
}

TEST(RunPostSync, CaughtSigpipeIsDefaultAgainInTheHook) {
    SignalGuard guard(SIGPIPE);
    // The agent catches SIGPIPE with a handler that does nothing; the hook
    // must not inherit an ignored SIGPIPE, or pipelines would not stop.
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGPIPE, &action, nullptr), 0);
    test::StderrCapture capture;
    EXPECT_FALSE(runPostSync("kill -PIPE $$; exit 0"));
    EXPECT_EQ(capture.text(), runningLine("kill -PIPE $$; exit 0") +
                                  "warning(bundle): post_sync terminated abnormally\n");
}

TEST(RunPostSync, ChildReapedBySystemIsAFailureNotAHang) {
    // Started by a parent that ignores SIGCHLD, the agent inherits that and
    // the system reaps the hook itself; waitpid then fails with ECHILD.
    SignalGuard guard(SIGCHLD);
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGCHLD, &action, nullptr), 0);
    test::StderrCapture capture;
    const auto result = runPostSync("exit 0");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::HookFailed);
    EXPECT_EQ(capture.text(),
              runningLine("exit 0") + "error(bundle): waitpid failed: error.Unexpected\n");
}

TEST(RunPostSync, ForkFailureIsReported) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    test::StderrCapture capture;
    const int child = test::runUnprivileged([] {
        // No further process for this user: fork fails with EAGAIN.
        struct rlimit none {};
        if (::setrlimit(RLIMIT_NPROC, &none) != 0) return 10;
        const auto result = runPostSync("exit 0");
        return !result && result.error() == Error::HookFailed ? 0 : 11;
    });
    EXPECT_EQ(child, 0);
    EXPECT_EQ(capture.text(),
              runningLine("exit 0") + "error(bundle): fork failed: error.SystemResources\n");
}

}  // namespace
}  // namespace qs

namespace qs {
namespace {

// The process's state letter from /proc ('Z' for a zombie), or 0 when no
// such process exists any more.
char processState(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return 0;
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

// A hook that outlives hook_timeout is ended with everything it started: a
// plain sleeper by SIGTERM, a child that ignores SIGTERM by the SIGKILL after
// the grace period. The hook counts as failed, its shell is reaped, and no
// process of its group keeps running.
TEST(RunPostSyncTimeout, EndsTheWholeGroupAfterTheLimit) {
    using Clock = std::chrono::steady_clock;
    using namespace std::chrono_literals;
    constexpr std::uint32_t kLimitSeconds = 1;
    const auto grace = std::chrono::milliseconds(kHookKillGraceMilliseconds);
    struct Case {
        const char* name;
        std::string command;  // {dir} stands for a scratch directory
        bool times_out;
        std::chrono::milliseconds at_least;  // after the limit
        std::chrono::milliseconds at_most;   // after the limit
    };
    const Case cases[] = {
        {"finishes in time", "echo $$ > {dir}/shell; exit 0", false, -1000ms, 0ms},
        // Well inside the grace period: SIGTERM alone ended it. (Its
        // orphaned members count until whoever adopted them reaps them,
        // which takes a moment on a busy machine.)
        {"sleeps past the limit", "echo $$ > {dir}/shell; sleep 30", true, 0ms, grace - 1500ms},
        {"forks a child that ignores SIGTERM",
         "echo $$ > {dir}/shell; (trap '' TERM; exec sleep 30) & echo $! > {dir}/child; wait",
         true, grace, grace + 3000ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        std::string command = c.command;
        for (std::size_t at; (at = command.find("{dir}")) != std::string::npos;)
            command.replace(at, 5, dir.str());

        test::StderrCapture capture;
        const auto start = Clock::now();
        const auto result = runPostSync(command, {.timeout_seconds = kLimitSeconds});
        const auto took = Clock::now() - start - std::chrono::seconds(kLimitSeconds);
        const std::string text = capture.text();

        EXPECT_EQ(result.has_value(), !c.times_out);
        EXPECT_EQ(text.find("warning(bundle): post_sync timed out after 1 seconds") !=
                      std::string::npos,
                  c.times_out)
            << text;
        EXPECT_GE(took, c.at_least);
        EXPECT_LE(took, c.at_most);
        // Our own child, the shell, has been reaped: not even a zombie stays.
        const std::string shell = test::readFile(dir / "shell");
        EXPECT_EQ(processState(shell.substr(0, shell.find('\n'))), 0);
        if (std::filesystem::exists(dir / "child")) {
            std::string child = test::readFile(dir / "child");
            child = child.substr(0, child.find('\n'));
            // Orphaned, it belongs to whoever adopted it; give that a moment.
            char state = processState(child);
            for (int i = 0; i < 100 && state != 0 && state != 'Z'; ++i) {
                std::this_thread::sleep_for(10ms);
                state = processState(child);
            }
            EXPECT_TRUE(state == 0 || state == 'Z') << state;
        }
    }
}

// pre_switch is held to the same limit: a check that hangs refuses the
// version instead of holding the bundle (and the agent) for ever.
TEST(RunPreSwitch, PastItsLimitIsARefusal) {
    test::TempDir dir;
    test::StderrCapture capture;
    const HookVerdict verdict =
        runPreSwitch("echo $$ > " + dir.str() + "/shell; sleep 30", {.timeout_seconds = 1});
    const std::string text = capture.text();
    EXPECT_FALSE(verdict.accepted);
    EXPECT_EQ(verdict.refusal, "timed out after 1 seconds");
    EXPECT_NE(text.find("warning(bundle): pre_switch timed out after 1 seconds"), std::string::npos)
        << text;
    const std::string shell = test::readFile(dir / "shell");
    EXPECT_EQ(processState(shell.substr(0, shell.find('\n'))), 0);
}

}  // namespace
}  // namespace qs
