#pragma once
// One agent at a time per target directory: the daemon, `once` and
// `rollback` each hold "{target_dir}/.lock" while they sync, switch or roll
// back a bundle there, so two of them never install the same payload
// twice, run its hooks twice, or switch `current` under each other.

#include <optional>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "platform/file_lock.hpp"

namespace qs {

inline constexpr std::string_view kLockName = ".lock";

// Whether taking the lock may create a missing target_dir to hold it.
enum class MissingTarget {
    // A sync: the install would make it anyway, and the lock must guard the
    // cycle from its start. A directory made only for the lock is removed
    // again when the cycle leaves nothing else in it.
    create,
    // A command on versions already there: without the directory there is
    // nothing to guard.
    leave,
};

class TargetLock {
public:
    enum class State {
        held,
        // Another process holds it (LockWait::fail_when_held).
        busy,
        // A stop signal ended the wait.
        interrupted,
        // Going on without it: target_dir is missing and not to be made, or
        // the lock file cannot be made there (a read-only or foreign
        // directory), where nothing can be installed either. The reason
        // was logged unless the directory is simply missing.
        unlocked,
    };

    // Takes "{target_dir}/.lock". With LockWait::wait, a lock another holds
    // first gets "info(quillstead): [name] waiting: another quillstead holds
    // {path}", then the wait.
    [[nodiscard]] static TargetLock take(const Bundle& bundle, platform::LockWait wait,
                                         MissingTarget missing);

    TargetLock(TargetLock&&) noexcept = default;
    TargetLock& operator=(TargetLock&&) = delete;
    TargetLock(const TargetLock&) = delete;
    TargetLock& operator=(const TargetLock&) = delete;
    ~TargetLock();

    [[nodiscard]] State state() const { return state_; }
    [[nodiscard]] const std::string& path() const { return path_; }
    // Another process held the lock since this one last did: the bundle's
    // records may have changed under this process's feet.
    [[nodiscard]] bool othersHeldIt() const { return lock_ && lock_->othersHeldIt(); }

private:
    TargetLock() = default;

    State state_ = State::unlocked;
    std::string path_;
    std::string target_dir_;
    bool made_target_dir_ = false;
    std::optional<platform::FileLock> lock_;
};

}  // namespace qs
