#include "support/as_user.hpp"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qs::test {

Account unprivilegedAccount() {
    const struct passwd* entry = ::getpwnam("nobody");
    if (entry == nullptr) return {65534, 65534};
    return {static_cast<unsigned>(entry->pw_uid), static_cast<unsigned>(entry->pw_gid)};
}

int runUnprivileged(const std::function<int()>& body) {
    const Account account = unprivilegedAccount();
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
            ::setuid(account.uid) != 0)
            ::_exit(255);
        ::_exit(body());
    }
    int status = 0;
    pid_t waited = -1;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool runningAsRoot() { return ::geteuid() == 0; }

}  // namespace qs::test
