#include "sync/target_lock.hpp"

#include <new>

#include "log/log.hpp"
#include "platform/directory.hpp"
#include "platform/file_create.hpp"
#include "util/path.hpp"

namespace qs {

namespace {

using log::Scope;
using platform::LockWait;

// The holder of a lock may remove target_dir it made only for the lock
// while another process waits; the waiter then makes it again. Twice is
// plenty: a third vanishing means something else is at work.
constexpr int kMaxTargetTries = 3;

// Whether `directory` holds nothing but the lock file.
bool holdsOnlyTheLock(std::string_view directory) {
    auto opened = platform::openDirectory(directory);
    if (!opened) return false;
    platform::DirectoryCursor cursor;
    for (;;) {
        auto entry = cursor.next(opened->get());
        if (!entry) return false;
        if (!*entry) return true;
        const std::string_view name = (*entry)->view();
        if (name != "." && name != ".." && name != kLockName) return false;
    }
}

}  // namespace

TargetLock TargetLock::take(const Bundle& bundle, LockWait wait, MissingTarget missing) {
    TargetLock lock;
    try {
        lock.target_dir_ = bundle.target_dir;
        lock.path_.append(bundle.target_dir).append("/").append(kLockName);
    } catch (const std::bad_alloc&) {
        log::warn(Scope::quillstead, "[", bundle.name, "] cannot lock ", bundle.target_dir, ": ",
                  Error::OutOfMemory);
        return lock;
    }
    for (int attempt = 0; attempt < kMaxTargetTries; ++attempt) {
        if (missing == MissingTarget::create) {
            const auto made = platform::makeDirectory(bundle.target_dir);
            // Its own failure line comes with the install, as without a lock.
            if (!made) return lock;
            lock.made_target_dir_ = *made == platform::DirectoryMade::created;
        }
        auto taken = platform::FileLock::take(lock.path_, LockWait::fail_when_held);
        if (!taken && taken.error() == Error::WouldBlock && wait == LockWait::wait) {
            log::info(Scope::quillstead, "[", bundle.name, "] waiting: another quillstead holds ",
                      lock.path_);
            taken = platform::FileLock::take(lock.path_, LockWait::wait);
        }
        if (taken) {
            lock.lock_.emplace(std::move(*taken));
            lock.state_ = State::held;
            return lock;
        }
        switch (taken.error()) {
        case Error::WouldBlock: lock.state_ = State::busy; return lock;
        case Error::Interrupted: lock.state_ = State::interrupted; return lock;
        case Error::FileNotFound:
            // The holder removed the directory it had made for the lock.
            if (missing == MissingTarget::create) continue;
            return lock;
        default:
            log::warn(Scope::quillstead, "[", bundle.name, "] cannot lock ", lock.path_, ": ",
                      taken.error());
            return lock;
        }
    }
    return lock;
}

TargetLock::~TargetLock() {
    if (!lock_ || !made_target_dir_) return;
    // A cycle that made target_dir and left nothing in it leaves no trace,
    // as it did before there was a lock file to hold.
    if (!holdsOnlyTheLock(target_dir_)) return;
    lock_->removeName(path_);
    PathBuffer directory;
    if (!composeSystemPath(directory, {target_dir_})) return;
    (void)platform::unlinkAt(platform::kWorkingDirectory, directory.c_str(),
                             platform::UnlinkTarget::directory);
}

}  // namespace qs
