#include "platform/service_manager.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace qs::platform {

namespace {

// The socket is opened at the first notification and kept: the agent sends
// a few messages a minute at most, one descriptor for its life costs less
// than a socket per message.
int g_notify_fd = -1;
bool g_notify_unusable = false;

bool parseUnsigned(std::string_view text, std::uint64_t& out) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

void notifyServiceManager(std::string_view assignments) {
    if (g_notify_unusable) return;
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') return;
    const std::string_view path(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // An abstract name has no terminating byte; a path has one.
    if (path.size() >= sizeof(address.sun_path) || (path[0] != '/' && path[0] != '@')) {
        g_notify_unusable = true;
        return;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    if (path[0] == '@') address.sun_path[0] = '\0';
    const socklen_t length = static_cast<socklen_t>(
        offsetof(sockaddr_un, sun_path) + path.size() + (path[0] == '@' ? 0 : 1));
    if (g_notify_fd < 0) {
        g_notify_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (g_notify_fd < 0) return;
    }
    for (;;) {
        const ssize_t sent = ::sendto(g_notify_fd, assignments.data(), assignments.size(),
                                      MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                                      length);
        if (sent >= 0 || errno != EINTR) return;
    }
}

std::uint64_t watchdogMicroseconds() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    std::uint64_t interval = 0;
    if (usec == nullptr || !parseUnsigned(usec, interval)) return 0;
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid != nullptr) {
        std::uint64_t owner = 0;
        if (!parseUnsigned(pid, owner) || owner != static_cast<std::uint64_t>(::getpid())) return 0;
    }
    return interval;
}

std::uint64_t monotonicMicroseconds() {
    struct timespec now {};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

bool standardErrorIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    const std::string_view text(stream);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    if (!parseUnsigned(text.substr(0, colon), device) || !parseUnsigned(text.substr(colon + 1), inode))
        return false;
    struct stat status {};
    if (::fstat(2, &status) != 0) return false;
    return static_cast<std::uint64_t>(status.st_dev) == device &&
           static_cast<std::uint64_t>(status.st_ino) == inode;
}

}  // namespace qs::platform
