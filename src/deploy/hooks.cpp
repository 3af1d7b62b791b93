#include "deploy/hooks.hpp"

#include <array>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "log/log.hpp"
#include "platform/child_process.hpp"

namespace qs {

namespace {

using log::Scope;

// Why a hook did not run to a clean exit, before it is worded for its log.
struct HookRun {
    enum class Kind { exited, signaled, timed_out, too_long, fork_failed, wait_failed } kind =
        Kind::exited;
    int code = 0;  // exit code, signal number or nothing
    Error error = Error::Unexpected;
};

// Cuts a hook's output into lines for the log. A line longer than
// kLongestHookLine goes out in pieces of that size: memory stays bounded
// whatever a hook prints.
constexpr std::size_t kLongestHookLine = 4096;
class HookOutputLines {
public:
    explicit HookOutputLines(std::string_view hook) : hook_(hook) {}
    void add(std::string_view bytes) {
        while (!bytes.empty()) {
            const std::size_t newline = bytes.find('\n');
            const std::size_t take = newline == std::string_view::npos ? bytes.size() : newline;
            const std::size_t room = kLongestHookLine - used_;
            const std::size_t copied = take < room ? take : room;
            std::memcpy(line_.data() + used_, bytes.data(), copied);
            used_ += copied;
            bytes.remove_prefix(copied);
            if (newline != std::string_view::npos && copied == take) {
                flush();
                bytes.remove_prefix(1);
            } else if (used_ == kLongestHookLine) {
                flush();
            }
        }
    }
    // The last line, if the hook did not end it.
    void finish() {
        if (used_ > 0) flush();
    }

private:
    void flush() {
        log::hookOutput(hook_, std::string_view(line_.data(), used_));
        used_ = 0;
    }

    std::string_view hook_;
    std::array<char, kLongestHookLine> line_{};
    std::size_t used_ = 0;
};

HookRun runShell(std::string_view hook, std::string_view command, const HookContext& context) {
    if (command.size() > kMaxPostSyncCommand) return {HookRun::Kind::too_long};
    std::array<char, kMaxPostSyncCommand + 1> text;
    std::memcpy(text.data(), command.data(), command.size());
    text[command.size()] = '\0';

    // Built before fork: the child may only make async-signal-safe calls.
    std::vector<char*> environment;
    std::string working_dir;
    try {
        environment.reserve(context.environment.size() + 1);
        for (const std::string& variable : context.environment) {
            environment.push_back(const_cast<char*>(variable.c_str()));
        }
        environment.push_back(nullptr);
        working_dir.assign(context.working_dir);
    } catch (const std::bad_alloc&) {
        return {HookRun::Kind::fork_failed, 0, Error::OutOfMemory};
    }

    // In json every line must be a JSON object, the hook's own output
    // included: it goes through a pipe and out as lines of the log.
    platform::OutputPipe output;
    if (log::currentFormat() == log::Format::json) {
        auto made = platform::makeOutputPipe();
        if (!made) return {HookRun::Kind::fork_failed, 0, made.error()};
        output = std::move(*made);
    }

    const std::uint32_t timeout_seconds = context.timeout_seconds;
    const auto child = platform::startShellCommand(
        text.data(), environment.data(), working_dir.empty() ? nullptr : working_dir.c_str(),
        timeout_seconds == 0 ? platform::ProcessGroup::shared : platform::ProcessGroup::own,
        output.write_end.get());
    if (!child) return {HookRun::Kind::fork_failed, 0, child.error()};
    const std::int64_t limit_ms = std::int64_t{timeout_seconds} * 1000;
    Result<platform::ChildEnd> end;
    if (output.read_end) {
        // Only the child holds the write end now, so the pipe ends with it.
        output.write_end.reset();
        HookOutputLines lines(hook);
        end = platform::waitForChildRelaying(
            *child, output.read_end.get(), limit_ms,
            [&lines](std::string_view bytes) { lines.add(bytes); });
        lines.finish();
    } else {
        end = timeout_seconds == 0 ? platform::waitForChild(*child)
                                   : platform::waitForChild(*child, limit_ms);
    }
    if (!end && end.error() == Error::TimedOut) {
        // Whatever the hook started goes with it: a reload script that forked
        // a stuck helper must not leave it behind.
        log::warn(Scope::bundle, hook, " timed out after ", timeout_seconds,
                  " seconds; ending its process group");
        platform::endProcessGroup(*child, kHookKillGraceMilliseconds);
        return {HookRun::Kind::timed_out, static_cast<int>(timeout_seconds)};
    }
    if (!end) return {HookRun::Kind::wait_failed, 0, end.error()};
    if (end->signal != 0) return {HookRun::Kind::signaled, end->signal};
    return {HookRun::Kind::exited, end->exit_code};
}

// How a run ended, as the reason an operator reads: "exited with code 1",
// "killed by signal 9", "timed out after 5 seconds", ...
HookVerdict verdictOf(const HookRun& run, std::string_view command) {
    HookVerdict verdict;
    try {
        switch (run.kind) {
        case HookRun::Kind::too_long:
            verdict.refusal = "command too long (" + std::to_string(command.size()) + " bytes)";
            break;
        case HookRun::Kind::fork_failed:
            verdict.refusal = "fork failed: error." + std::string(errorName(run.error));
            break;
        case HookRun::Kind::wait_failed:
            verdict.refusal = "waitpid failed: error." + std::string(errorName(run.error));
            break;
        case HookRun::Kind::signaled:
            verdict.refusal = "killed by signal " + std::to_string(run.code);
            break;
        case HookRun::Kind::timed_out:
            verdict.refusal = "timed out after " + std::to_string(run.code) + " seconds";
            break;
        case HookRun::Kind::exited:
            if (run.code != 0) {
                verdict.refusal = "exited with code " + std::to_string(run.code);
            } else {
                verdict.accepted = true;
            }
            break;
        }
    } catch (const std::bad_alloc&) {
        verdict.accepted = false;
    }
    return verdict;
}

}  // namespace

HookVerdict runPostSyncVerdict(std::string_view command, const HookContext& context) {
    log::info(Scope::bundle, "running post_sync: ", command);
    const HookRun run = runShell("post_sync", command, context);
    switch (run.kind) {
    case HookRun::Kind::too_long:
        log::error(Scope::bundle, "post_sync command too long (", command.size(), " bytes)");
        break;
    case HookRun::Kind::fork_failed: log::error(Scope::bundle, "fork failed: ", run.error); break;
    case HookRun::Kind::wait_failed: log::error(Scope::bundle, "waitpid failed: ", run.error); break;
    case HookRun::Kind::signaled: log::warn(Scope::bundle, "post_sync terminated abnormally"); break;
    case HookRun::Kind::timed_out: break;
    case HookRun::Kind::exited:
        if (run.code != 0) log::warn(Scope::bundle, "post_sync exited with code ", run.code);
        break;
    }
    HookVerdict verdict = verdictOf(run, command);
    if (verdict.accepted) log::info(Scope::bundle, "post_sync completed successfully");
    return verdict;
}

Result<void> runPostSync(std::string_view command, const HookContext& context) {
    if (!runPostSyncVerdict(command, context).accepted) return std::unexpected(Error::HookFailed);
    return {};
}

HookVerdict runPreSwitch(std::string_view command, const HookContext& context) {
    log::info(Scope::bundle, "running pre_switch: ", command);
    const HookRun run = runShell("pre_switch", command, context);
    HookVerdict verdict = verdictOf(run, command);
    if (verdict.accepted) log::info(Scope::bundle, "pre_switch completed successfully");
    return verdict;
}

}  // namespace qs
