#include "deploy/post_sync.hpp"

#include <array>
#include <cstring>

#include "log/log.hpp"
#include "platform/child_process.hpp"

namespace qs {

Result<void> runPostSync(std::string_view command, std::uint32_t timeout_seconds) {
    log::info(log::Scope::bundle, "running post_sync: ", command);
    if (command.size() > kMaxPostSyncCommand) {
        log::error(log::Scope::bundle, "post_sync command too long (", command.size(), " bytes)");
        return std::unexpected(Error::HookFailed);
    }
    std::array<char, kMaxPostSyncCommand + 1> text;
    std::memcpy(text.data(), command.data(), command.size());
    text[command.size()] = '\0';

    const auto child = platform::startShellCommand(
        text.data(), timeout_seconds == 0 ? platform::ProcessGroup::shared : platform::ProcessGroup::own);
    if (!child) {
        log::error(log::Scope::bundle, "fork failed: ", child.error());
        return std::unexpected(Error::HookFailed);
    }
    const auto end = timeout_seconds == 0
                         ? platform::waitForChild(*child)
                         : platform::waitForChild(*child, std::int64_t{timeout_seconds} * 1000);
    if (!end && end.error() == Error::TimedOut) {
        // Whatever the hook started goes with it: a reload script that forked
        // a stuck helper must not leave it behind.
        log::warn(log::Scope::bundle, "post_sync timed out after ", timeout_seconds,
                  " seconds; ending its process group");
        platform::endProcessGroup(*child, kHookKillGraceMilliseconds);
        return std::unexpected(Error::HookFailed);
    }
    if (!end) {
        log::error(log::Scope::bundle, "waitpid failed: ", end.error());
        return std::unexpected(Error::HookFailed);
    }
    if (end->signal != 0) {
        log::warn(log::Scope::bundle, "post_sync terminated abnormally");
        return std::unexpected(Error::HookFailed);
    }
    if (end->exit_code != 0) {
        log::warn(log::Scope::bundle, "post_sync exited with code ", end->exit_code);
        return std::unexpected(Error::HookFailed);
    }
    log::info(log::Scope::bundle, "post_sync completed successfully");
    return {};
}

}  // namespace qs
